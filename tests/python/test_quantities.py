"""The shape figures against scikit-image's regionprops and scipy.ndimage on generated particles:
rotated ellipsoids, a porous grain with enclosed cavities, digitised spheres; and tarvo-tools
measure against the binding on the same files."""

import json
import math
import subprocess

import numpy as np
import pytest
from scipy import ndimage
from skimage import measure as skm

import tarvo
from conftest import TOOLS_EXE, blob


def rotation(rng):
    """A random rotation matrix (QR of a Gaussian matrix, signs fixed)."""
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    return q * np.sign(np.diag(r))


def ellipsoid(dim, semi, rot, centre):
    """Voxels (indexed [z, y, x]) whose centres lie in the rotated ellipsoid."""
    z, y, x = np.indices((dim, dim, dim), dtype=float)
    p = np.stack([x - centre[0], y - centre[1], z - centre[2]], axis=-1) @ rot
    return ((p / semi) ** 2).sum(axis=-1) <= 1


def porous_grain(rng, dim=48):
    grain = blob(rng, dim, density=0.9, holes=0.0)
    z, y, x = np.indices(grain.shape)
    for _ in range(12):  # cavities inside the grain, some touching one another
        c = rng.uniform(0.35, 0.65, 3) * dim
        grain &= (x - c[0]) ** 2 + (y - c[1]) ** 2 + (z - c[2]) ** 2 > rng.uniform(1.5, 4) ** 2
    return grain & (rng.random(grain.shape) >= 0.02)


def particles(rng):
    yield ellipsoid(40, np.array([15.0, 9.0, 5.0]), np.eye(3), (19.3, 20.1, 18.7))
    for _ in range(3):
        yield ellipsoid(44, rng.uniform(4, 18, 3), rotation(rng), rng.uniform(19, 24, 3))
    yield porous_grain(rng)


def test_volume_centroid_moments_axes_and_euler_number_agree_with_regionprops(rng):
    for v in particles(rng):
        p = tarvo.properties(v)
        props = skm.regionprops(v.astype(np.uint8))[0]
        assert p.volume == props.area
        assert np.allclose(p.centroid, props.centroid[::-1], rtol=0, atol=1e-9)
        assert p.equivalent_diameter == pytest.approx(props.equivalent_diameter, rel=1e-12)
        # regionprops gives the inertia tensor trace(C) I - C of the covariance C, indexed [z, y, x].
        trace = sum(p.moments)
        assert np.allclose(sorted(trace - m for m in p.moments), sorted(props.inertia_tensor_eigvals), rtol=1e-9)
        values, vectors = np.linalg.eigh(props.inertia_tensor)
        for k, axis in enumerate(p.axes):  # moment k largest first is inertia eigenvalue k smallest first
            if abs(values[k] - values[(k + 1) % 3]) > 1e-6 and abs(values[k] - values[(k + 2) % 3]) > 1e-6:
                assert abs(np.dot(axis, vectors[::-1, k])) == pytest.approx(1, abs=1e-9)
        assert p.euler_number == skm.euler_number(v, connectivity=3)
        assert p.euler_number == props.euler_number


def test_enclosed_voxels_are_what_binary_fill_holes_fills(rng):
    for v in particles(rng):
        p = tarvo.properties(v)
        filled = int(ndimage.binary_fill_holes(v).sum())
        assert p.enclosed_voxels == filled - int(v.sum())
        assert p.enclosed_porosity == pytest.approx(p.enclosed_voxels / filled)
    assert tarvo.properties(porous_grain(rng)).enclosed_voxels > 100


@pytest.mark.parametrize("r", [10, 30, 100])
def test_surface_area_of_digitised_spheres_is_within_three_percent(r):
    dim = 2 * r + 6
    c = dim / 2 - 0.3  # off the grid's symmetry, as a real grain would lie
    z, y, x = np.ogrid[:dim, :dim, :dim]
    v = (x - c) ** 2 + (y - c) ** 2 + (z - c) ** 2 <= r * r
    p = tarvo.properties(v)
    assert p.surface_area == pytest.approx(4 * math.pi * r * r, rel=0.03)
    assert p.sphericity == pytest.approx(1, rel=0.03)


def test_measure_rows_are_the_bindings_figures(tmp_path, rng):
    files = []
    for k, v in enumerate(particles(rng)):
        files.append(tmp_path / f"p{k}.3d")
        tarvo.write(files[-1], v)
    empty = tmp_path / "empty.3d"
    tarvo.write(empty, np.zeros((5, 5, 5), bool))
    run = subprocess.run([TOOLS_EXE, "measure", "--json", *map(str, files), str(empty), str(tmp_path / "missing.3d")],
                         capture_output=True, text=True)
    assert run.returncode == 1, run.stderr
    rows = json.loads(run.stdout)
    for path, row in zip(files, rows):
        p = tarvo.properties(tarvo.read(path))
        assert row["file"] == str(path) and row["error"] is None
        assert row["volume"] == p.volume and row["euler_number"] == p.euler_number
        assert row["surface_area"] == p.surface_area and row["sphericity"] == p.sphericity
        assert [row["centroid_x"], row["centroid_y"], row["centroid_z"]] == list(p.centroid)
        assert [row[f"moment_{k}"] for k in (1, 2, 3)] == list(p.moments)
        assert row["enclosed_voxels"] == p.enclosed_voxels
    assert rows[-2]["volume"] == 0 and rows[-2]["centroid_x"] is None and rows[-2]["error"] is None
    assert rows[-1]["volume"] is None and "missing.3d" in rows[-1]["error"]
