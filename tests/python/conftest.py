import importlib
import os

import pytest


@pytest.fixture(scope="session")
def hooks():
    """The test-only module that drives the call boundary (built by scripts/python-test)."""
    try:
        return importlib.import_module("_quelvane_hooks")
    except ImportError:
        if os.environ.get("QUELVANE_REQUIRE_HOOKS") == "1":
            raise
        pytest.skip("_quelvane_hooks is not built (scripts/python-test builds it)")


# --- datasets ---------------------------------------------------------------------------------

import quelvane


@pytest.fixture
def data_dir(tmp_path):
    return str(tmp_path / "data")


@pytest.fixture
def store(data_dir):
    s = quelvane.Store.open(data_dir)
    yield s
    try:
        s.close()
    except RuntimeError:
        pass


@pytest.fixture
def ds(store):
    """A writable, empty dataset a/b."""
    return store.create_dataset("a", "b")


@pytest.fixture
def read_only_ds(request, data_dir):
    """Dataset a/b holding (1, b"one"), handed out by a read-only store."""
    with quelvane.Store.open(data_dir) as writer:
        writer.create_dataset("a", "b").write(1, b"one")
    s = quelvane.Store.open(data_dir, quelvane.StoreConfig(read_only=True))
    request.addfinalizer(s.close)
    return s.open_dataset("a", "b")
