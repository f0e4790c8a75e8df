"""The examples, run as a user runs them."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest
from contract_texts import TEXT

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_example(name, *args, timeout):
    return subprocess.run(
        [sys.executable, str(EXAMPLES / name), *args],
        capture_output=True, text=True, timeout=timeout,
    )


def test_demo_shows_the_refusals_with_their_messages():
    done = run_example("demo.py", timeout=120)
    assert done.returncode == 0, done.stderr
    mismatch = f"argument 'x': {TEXT.type_mismatch_from}int64{TEXT.type_mismatch_to}float64"
    read_only = f"argument 'x': {TEXT.read_only_destination}"
    # The demo prints each refusal's message as repr() shows it.
    assert f"TypeError: {mismatch!r}" in done.stdout
    assert f"ValueError: {read_only!r}" in done.stdout


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="Dask's own native dependencies are not built for the sanitizer",
)
def test_dask_volume_matches_numpy_on_two_worker_processes():
    for package in ("dask", "distributed"):
        if importlib.util.find_spec(package) is None:
            pytest.skip(f"{package} is not installed (pip install 'dask[array]' distributed)")
    done = run_example("dask_volume.py", "--size", "32", "--chunk", "16", "--workers", "2",
                       timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "2 worker processes" in done.stdout
    assert done.stdout.count("  ok: ") == 8, done.stdout
