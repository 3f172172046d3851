"""A reduced run of bench/python_bench.py, so the benchmark keeps working as the module changes."""
import importlib.util
import io
import pathlib

import pytest

import quelvane

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench" / "python_bench.py"


@pytest.fixture(scope="module")
def bench():
    spec = importlib.util.spec_from_file_location("python_bench", BENCH)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("count,size", [(3000, 100), (500, 1000)])
def test_reduced_run(bench, tmp_path, count, size):
    out = io.StringIO()
    figures = bench.run(count, size, levels=(1,), root=str(tmp_path), out=out)
    engines = {"quelvane", "sqlite3"} | {p.name for p in bench.available_peers()}
    assert engines | {"quelvane level 1", "floor (tuples)"} == set(figures)
    for name in engines:
        assert set(figures[name]) == set(bench.WORKLOADS) and all(v > 0 for v in figures[name].values())
    table = out.getvalue()
    assert f"{count:,} records of {size} bytes" in table and "quelvane / sqlite3:" in table
    assert list(tmp_path.iterdir()) == []  # every engine's files are removed
