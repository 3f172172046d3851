"""The crash harness's short form: the writer of tests/crash is killed at random instants and the
store checked after each kill (scripts/crash-test runs the long form)."""

import os
import random
import subprocess
import sys

HARNESS = os.path.join(os.path.dirname(__file__), "..", "crash", "crash_test.py")


def test_kills_at_random_instants(tmp_path):
    runs = os.environ.get("QUELVANE_CRASH_RUNS", "30")
    seed = os.environ.get("QUELVANE_CRASH_SEED", str(random.randrange(1 << 32)))
    done = subprocess.run(
        [sys.executable, HARNESS, "--runs", runs, "--seed", seed, "--dir", str(tmp_path / "crash")],
        capture_output=True,
        text=True,
        timeout=900,
    )
    print(done.stdout)
    assert done.returncode == 0, f"seed {seed}:\n{done.stdout}\n{done.stderr}"
    assert f"{runs} of {runs} kills survived" in done.stdout
