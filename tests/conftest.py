import shutil
from pathlib import Path

import pytest

from tools.make_fixture_models import write_fixture_models


@pytest.fixture(scope="session")
def models(tmp_path_factory):
    """The tiny real fixture models and canon latent, written once per test session."""
    return write_fixture_models(tmp_path_factory.mktemp("models"))


@pytest.fixture(scope="session")
def bundle_dir(models, tmp_path_factory):
    """A directory bundle: canon latent and the combined model."""
    d = tmp_path_factory.mktemp("bundle")
    for name in ("canon.bin", "combined_litert.tflite"):
        (d / name).write_bytes(Path(models[name]).read_bytes())
    return d


@pytest.fixture
def fake_install(tmp_path):
    """A copy of the host module alone in site/halvane/_zephan2 (no policy module
    beside it), with an empty tools/ three levels up. Put site/ on PYTHONPATH."""
    import halvane._zephan2._tessel_host as host

    so = Path(host.__file__)
    pkg = tmp_path / "site" / "halvane" / "_zephan2"
    pkg.mkdir(parents=True)
    (pkg.parent / "__init__.py").write_text("")
    (pkg / "__init__.py").write_text("")
    shutil.copy(so, pkg / so.name)
    (tmp_path / "tools").mkdir()
    return tmp_path
