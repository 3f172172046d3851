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
