import pytest


def pytest_collection_modifyitems(items):
    # The live interface must run without a single warning: a task destroyed
    # while pending, a coroutine never awaited or an exception never
    # retrieved fails its test.
    for item in items:
        if "tests/avatar/" in str(item.fspath):
            item.add_marker(pytest.mark.filterwarnings("error"))
