"""Shared helpers of the Python tests: the programs under test, and particles made for them.

CTest passes the programs of the build (TARVO_EXE, TARVO_TOOLS_EXE) and puts the package of the
build tree on PYTHONPATH; run by hand, build/ below the source folder is used."""

import os
import subprocess
import zlib
from pathlib import Path

import numpy as np
import pytest

SOURCE_DIR = Path(os.environ.get("TARVO_SOURCE_DIR", Path(__file__).resolve().parents[2]))
TARVO_EXE = os.environ.get("TARVO_EXE", str(SOURCE_DIR / "build" / "tarvo"))
TOOLS_EXE = os.environ.get("TARVO_TOOLS_EXE", str(SOURCE_DIR / "build" / "tarvo-tools"))
SAMPLE = SOURCE_DIR / "data" / "grain160.3d"


def run_tarvo(source, target, x, y, z):
    """The tarvo program on a file; its completed process (stdout as text)."""
    return subprocess.run([TARVO_EXE, str(source), str(target), x, y, z], capture_output=True, text=True)


def program_cut(source, target, x, y, z):
    """The bytes tarvo writes for a cut (asserting it succeeded)."""
    run = run_tarvo(source, target, x, y, z)
    assert run.returncode == 0, run.stdout
    return Path(target).read_bytes()


def header_bytes(dim, fields=None, slot=0):
    """A 52-byte header: dim and the eleven other fields as given (default 0)."""
    values = [0] + [dim] + [0] * 10 if fields is None else list(fields)
    return np.array(values + [slot], dtype="<i4").tobytes()


def blob(rng, dim, density=0.6, holes=0.1):
    """A lumpy particle with pores: an ellipsoid of random axes and centre, voxels cleared at random."""
    if dim == 0:
        return np.zeros((0, 0, 0), bool)
    z, y, x = np.indices((dim, dim, dim))
    c = rng.uniform(0.3, 0.7, 3) * dim
    a = rng.uniform(0.2, 0.6, 3) * dim * density + 0.5
    inside = ((x - c[0]) / a[0]) ** 2 + ((y - c[1]) / a[1]) ** 2 + ((z - c[2]) / a[2]) ** 2 <= 1
    return inside & (rng.random(inside.shape) >= holes)


@pytest.fixture
def rng(request):
    """A generator seeded by the test's name, so every run draws the same particles."""
    return np.random.default_rng(zlib.crc32(request.node.name.encode()))
