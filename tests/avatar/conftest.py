import sys
from pathlib import Path

import pytest

# _aio_probes, the module of C++ coroutines that exercise the asyncio bridge on
# its own, is built for the tests only (scripts/setup.sh builds it into
# build/aio-probes) and never installed with halvane.
sys.path.append(str(Path(__file__).resolve().parents[2] / "build" / "aio-probes"))


def pytest_collection_modifyitems(items):
    # The live interface must run without a single warning: a task destroyed
    # while pending, a coroutine never awaited or an exception never
    # retrieved fails its test.
    for item in items:
        if "tests/avatar/" in str(item.fspath):
            item.add_marker(pytest.mark.filterwarnings("error"))
