"""Figures in a voxel size's units: an ellipsoid digitised on an anisotropic grid against its
closed forms, against scikit-image's figures of the same voxels (regionprops in grid units,
scaled per axis here, as Debian's scikit-image 0.19 has no spacing= yet) and numpy's covariance of
the scaled positions; the tools' columns against Python's, and the voxel size taken from
--spacing, else the sidecar, else voxel units."""

import csv
import io
import json
import math
import subprocess

import numpy as np
import pytest
from scipy.special import ellipeinc, ellipkinc
from skimage.measure import regionprops

import tarvo
from conftest import TOOLS_EXE

SPACING = np.array([0.5, 0.75, 1.5])  # x, y, z
AXES = np.array([14.0, 12.0, 15.0])   # semi-axes along x, y, z, in the spacing's units
EDGE = 64


def ellipsoid_area(a, b, c):
    """The surface area of an ellipsoid, by Legendre's elliptic integrals."""
    a, b, c = sorted((a, b, c), reverse=True)
    phi = math.acos(c / a)
    m = a * a * (b * b - c * c) / (b * b * (a * a - c * c))
    s = math.sin(phi)
    return 2 * math.pi * c * c + 2 * math.pi * a * b / s * (ellipeinc(phi, m) * s * s + ellipkinc(phi, m) * (1 - s * s))


def ellipsoid(spacing, centre):
    z, y, x = np.mgrid[0:EDGE, 0:EDGE, 0:EDGE]
    q = sum(((g * spacing[k] - centre[k]) / AXES[k]) ** 2 for k, g in enumerate((x, y, z)))
    return q <= 1


@pytest.fixture(scope="module")
def grain():
    centre = np.array([31.3, 32.2, 31.6]) * SPACING  # off the grid's symmetry
    return ellipsoid(SPACING, centre), centre


def test_shape_figures_scale_per_axis(grain):
    v, centre = grain
    p = tarvo.properties(v, spacing=tuple(SPACING))
    count = int(v.sum())
    assert p.volume == count * SPACING.prod()
    assert abs(p.volume / (4 / 3 * math.pi * AXES.prod()) - 1) < 0.01
    assert p.equivalent_diameter == pytest.approx((6 * p.volume / math.pi) ** (1 / 3), rel=1e-12)
    # The surface of the scaled voxels, not the grid's surface times a factor (that would be 14% off).
    assert abs(p.surface_area / ellipsoid_area(*AXES) - 1) < 0.04
    assert p.enclosed_voxels == 0 and p.euler_number == 1

    # scikit-image's centroid and inertia tensor of the same voxels in grid units (axes z, y, x),
    # taken to the scaled positions: centroid * s, covariance S C S.
    r = regionprops(v.astype(np.uint8))[0]
    assert p.centroid == pytest.approx(np.array(r.centroid)[::-1] * SPACING, rel=1e-12)
    t = r.inertia_tensor
    c = np.trace(t) / 2 * np.eye(3) - t  # the covariance of the positions, z y x
    c = c[::-1, ::-1] * np.outer(SPACING, SPACING)
    values, vectors = np.linalg.eigh(c)
    assert p.moments == pytest.approx(values[::-1], rel=1e-9)
    for k in range(3):
        assert abs(np.dot(p.axes[k], vectors[:, 2 - k])) == pytest.approx(1, abs=1e-9)
    # The same from the scaled positions themselves, and the solid ellipsoid's a^2 / 5.
    z, y, x = np.nonzero(v)
    positions = np.stack([x, y, z], axis=1) * SPACING
    assert np.linalg.eigvalsh(np.cov(positions.T, bias=True))[::-1] == pytest.approx(p.moments, rel=1e-9)
    assert p.moments == pytest.approx(sorted(AXES ** 2 / 5, reverse=True), rel=0.01)


def test_unit_spacing_is_voxel_units(grain):
    v, _ = grain
    plain, ones = tarvo.properties(v), tarvo.properties(v, spacing=1)
    assert isinstance(plain.volume, int) and ones.volume == plain.volume
    assert ones[1:] == plain[1:]


def test_sections_scale_their_pixels_and_edges(grain):
    v, centre = grain
    through = tuple(centre / SPACING)
    flat = tarvo.section(v, (0, 0, 1), through, spacing=tuple(SPACING))
    pixels = tarvo.section(v, (0, 0, 1), through)
    assert flat.face_area == pixels.face_area * SPACING[0] * SPACING[1]
    a, b = AXES[0], AXES[1]  # the ellipse through the centre; Ramanujan's perimeter
    h = ((a - b) / (a + b)) ** 2
    assert abs(flat.perimeter / (math.pi * (a + b) * (1 + 3 * h / (10 + math.sqrt(4 - 3 * h)))) - 1) < 0.02
    assert abs(flat.face_area / (math.pi * a * b) - 1) < 0.01
    # An oblique plane through the centre: the ellipse of area pi abc / |A m|, m its unit normal
    # in the scaled space (the grid's normal over the spacing).
    for normal in ((1, 1, 0), (1, -2, 3), (0, 1, 1)):
        s = tarvo.section(v, normal, through, spacing=tuple(SPACING))
        m = np.array(normal) / SPACING
        m /= np.linalg.norm(m)
        expected = math.pi * AXES.prod() / np.linalg.norm(AXES * m)
        assert abs(s.face_area / expected - 1) < 0.015, normal


def rows(*args):
    run = subprocess.run([TOOLS_EXE, *map(str, args)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return list(csv.DictReader(io.StringIO(run.stdout)))


def test_tools_take_the_spacing_then_the_sidecar_then_voxel_units(tmp_path, grain):
    v, centre = grain
    path = tmp_path / "g.3d"
    tarvo.write(path, v)
    expected = tarvo.properties(v, spacing=tuple(SPACING))
    [plain] = rows("measure", "--csv", path)
    assert plain["unit"] == "voxel" and plain["spacing_z"] == "1" and plain["volume"] == str(int(v.sum()))
    [given] = rows("measure", "--csv", "--spacing", "0.5,0.75,1.5", "--unit", "mm", path)
    (tmp_path / "g.3d.json").write_text(json.dumps({"voxel_size": list(SPACING), "unit": "um", "source": "test"}))
    [side] = rows("measure", "--csv", path)
    [table] = rows("table", "--measure", "--csv", path)
    assert given["unit"] == "mm" and side["unit"] == "um" and table["unit"] == "um"
    for row in (given, side, table):
        assert float(row["volume"]) == expected.volume
        assert float(row["surface_area"]) == expected.surface_area
        assert [float(row[f"moment_{k}"]) for k in (1, 2, 3)] == list(expected.moments)
        assert [float(row[f"centroid_{a}"]) for a in "xyz"] == list(expected.centroid)
    [over] = rows("measure", "--csv", "--spacing", "2", path)  # the option before the sidecar
    assert over["unit"] == "" and float(over["volume"]) == v.sum() * 8
    through = centre / SPACING
    [face] = rows("section", "--csv", "--normal", "1", "-2", "3", "--through", *through, path)
    s = tarvo.section(v, (1, -2, 3), tuple(through), spacing=tuple(SPACING))
    assert face["unit"] == "um"
    for key in ("face_area", "solid_area", "perimeter", "equivalent_diameter"):
        assert float(face[key]) == getattr(s, key), key
    run = subprocess.run([TOOLS_EXE, "measure", "--unit", "mm", str(path)], capture_output=True, text=True)
    assert run.returncode == 2 and "--unit goes with --spacing" in run.stderr
