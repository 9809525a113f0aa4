"""A notebook's round trip: numpy operations on the voxels between read and write, and the example
script of docs/python.md with its picture."""

import os
import subprocess
import sys

import numpy as np
import pytest

import tarvo
from conftest import SAMPLE, SOURCE_DIR, program_cut
from test_forms import numpy_measure


def erode(v):
    """Binary erosion with the 6-neighbourhood by slicing (a voxel stays when it and its six face
    neighbours are set; voxels on the border of the grid go)."""
    inner = v[1:-1, 1:-1, 1:-1] & v[:-2, 1:-1, 1:-1] & v[2:, 1:-1, 1:-1] & v[1:-1, :-2, 1:-1] \
        & v[1:-1, 2:, 1:-1] & v[1:-1, 1:-1, :-2] & v[1:-1, 1:-1, 2:]
    out = np.zeros_like(v)
    out[1:-1, 1:-1, 1:-1] = inner
    return out


def test_round_trip_through_numpy_operations(tmp_path):
    p = tarvo.read(SAMPLE)
    shell = p.voxels & ~erode(p.voxels)  # the surface layer of the grain and of its pores
    grown = np.pad(shell, ((3, 3), (0, 6), (5, 1)))  # a larger grid, the particle moved
    assert grown.shape == (166, 166, 166)
    tarvo.write(tmp_path / "shell.3d", grown)

    back = tarvo.read(tmp_path / "shell.3d")
    assert np.array_equal(back.voxels, grown)
    m = numpy_measure(grown)
    assert tarvo.measure(back) == m
    assert back.header[:12] == (166**3 // 8 + 1, 166, m.min[0], m.max[0], m.min[1], m.max[1], m.min[2], m.max[2],
                                *m.mean, m.count)
    # And the program cuts the file written from Python as Python cuts the array.
    expected = program_cut(tmp_path / "shell.3d", tmp_path / "program.3d", "5", "-8", "30")
    tarvo.write(tmp_path / "python.3d", tarvo.cut(grown, 5, -8, 30))
    assert (tmp_path / "python.3d").read_bytes() == expected


def test_slicing_erosion_is_scipys():
    ndimage = pytest.importorskip("scipy.ndimage")
    v = tarvo.read(SAMPLE).voxels
    assert np.array_equal(erode(v), ndimage.binary_erosion(v, ndimage.generate_binary_structure(3, 1)))


def test_example_script(tmp_path):
    env = dict(os.environ, MPLBACKEND="Agg")
    run = subprocess.run([sys.executable, str(SOURCE_DIR / "examples" / "slice.py"), str(SAMPLE), str(tmp_path)],
                         capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    assert "cleared 162006 of 324438 voxels" in run.stdout
    assert (tmp_path / "cut.3d").read_bytes() == program_cut(SAMPLE, tmp_path / "program.3d", "1", "1", "99999")

    image = pytest.importorskip("matplotlib.image").imread(tmp_path / "slice.png")
    assert image.shape[:2] == (420, 800)
    # Both panels show particle (white) and background (black) voxels.
    grey = image[..., :3].mean(axis=2)
    for panel in (grey[:, :400], grey[:, 400:]):
        assert (panel > 0.99).sum() > 1000 and (panel < 0.01).sum() > 1000
