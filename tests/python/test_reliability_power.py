"""The power-loss harness's short form: the writer of tests/crash killed at random instants, and
from each kill the disks a power loss could have left, each opened as after a reboot and checked
(scripts/crash-test --power-loss runs the long form). QUELVANE_POWER_TEST=0 leaves it out."""

import os
import random
import subprocess
import sys

import pytest

CRASH = os.path.join(os.path.dirname(__file__), "..", "crash")
sys.path.insert(0, CRASH)

pytestmark = pytest.mark.skipif(
    os.environ.get("QUELVANE_POWER_TEST") == "0", reason="QUELVANE_POWER_TEST=0 leaves the power-loss harness out"
)


def test_power_losses_at_random_instants(tmp_path):
    import power_test

    prefix, why = power_test.other_boot_prefix(str(tmp_path))
    if prefix is None:
        pytest.skip(f"no mount namespace to give the reopening process another boot: {why}")
    kills = os.environ.get("QUELVANE_POWER_RUNS", "8")  # 6 disks each
    seed = os.environ.get("QUELVANE_POWER_SEED", str(random.randrange(1 << 32)))
    done = subprocess.run(
        [sys.executable, os.path.join(CRASH, "power_test.py"), "--runs", kills, "--seed", seed,
         "--dir", str(tmp_path / "power")],
        capture_output=True,
        text=True,
        timeout=1800,
    )
    print(done.stdout)
    assert done.returncode == 0, f"seed {seed}:\n{done.stdout[-6000:]}\n{done.stderr[-3000:]}"
    assert f"from {kills} kills" in done.stdout and " 0 disks failed" in done.stdout
