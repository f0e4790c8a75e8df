"""Shared fixtures: the test build directory and the modules built only for tests."""

import importlib
import os
import pathlib
import sys

import pytest

# The test build holds _tesk_testing and the entropy interposer. It goes at the end
# of the path, so an installed tesk is the one under test; during development
# PYTHONPATH=<build dir> puts the freshly built tesk first instead.
_BUILD_DIR = os.environ.get("TESK_BUILD_DIR")
if _BUILD_DIR:
    sys.path.append(str(pathlib.Path(_BUILD_DIR, "tests").resolve()))


@pytest.fixture(scope="session")
def build_dir() -> pathlib.Path:
    if not _BUILD_DIR:
        pytest.fail("TESK_BUILD_DIR must name the CMake build with TESK_BUILD_TESTS=ON")
    return pathlib.Path(_BUILD_DIR).resolve()


@pytest.fixture(scope="session")
def testing(build_dir):
    """The test-only extension with hooks into the call frame."""
    return importlib.import_module("_tesk_testing")


@pytest.fixture(scope="session")
def interposer(build_dir) -> pathlib.Path:
    """Path of the entropy interposer library, for LD_PRELOAD in subprocesses."""
    path = build_dir / "tests" / "libtesk_entropy_interpose.so"
    if not path.exists():
        pytest.fail(f"entropy interposer not built: {path}")
    return path
