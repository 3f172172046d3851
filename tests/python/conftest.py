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

import types

import quelvane


def _store_built():
    return hasattr(quelvane, "Store")


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


def _hook_dataset(request, data_dir, name, dataset_type, read_only):
    hooks = request.getfixturevalue("hooks")
    return hooks.Probe.open_dataset(f"{data_dir}/{name}/{dataset_type}", name, dataset_type, read_only)


@pytest.fixture
def ds(request, data_dir):
    """A writable, empty dataset a/b."""
    if _store_built():
        return request.getfixturevalue("store").create_dataset("a", "b")
    return _hook_dataset(request, data_dir, "a", "b", False)


@pytest.fixture
def read_only_ds(request, data_dir):
    """Dataset a/b holding (1, b"one"), handed out by a read-only store."""
    if _store_built():
        with quelvane.Store.open(data_dir) as writer:
            writer.create_dataset("a", "b").write(1, b"one")
        s = quelvane.Store.open(data_dir, quelvane.StoreConfig(read_only=True))
        request.addfinalizer(s.close)
        return s.open_dataset("a", "b")
    _hook_dataset(request, data_dir, "a", "b", False).write(1, b"one")
    return _hook_dataset(request, data_dir, "a", "b", True)


@pytest.fixture
def errors(request):
    """The exception classes the datasets of the fixtures above raise."""
    if _store_built():
        return quelvane
    hooks = request.getfixturevalue("hooks")
    found = {}
    for kind in range(17):
        try:
            hooks.Probe.raise_kind(kind, "m")
        except BaseException as e:  # noqa: B036 - collecting the classes
            found[type(e).__name__] = type(e)
    found["QvanError"] = found["QvanIoError"].__mro__[1]
    return types.SimpleNamespace(**found)
