import importlib.util
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def _load_generator():
    spec = importlib.util.spec_from_file_location("make_fixture_models", ROOT / "tools" / "make_fixture_models.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


fixture_gen = _load_generator()


@pytest.fixture(scope="session")
def models(tmp_path_factory):
    """The tiny real fixture models and canon latent, written once per test session."""
    return fixture_gen.write_fixture_models(tmp_path_factory.mktemp("models"))


@pytest.fixture(scope="session")
def bundle_dir(models, tmp_path_factory):
    """A directory bundle: canon latent and the combined model."""
    d = tmp_path_factory.mktemp("bundle")
    for name in ("canon.bin", "combined_litert.tflite"):
        (d / name).write_bytes(Path(models[name]).read_bytes())
    return d
