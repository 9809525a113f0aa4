"""Section figures of tarvo-tools section and tarvo.section() against an independent numpy/scipy
computation on the same plane: the face sampled from the nearest voxels, pores as what
scipy.ndimage.binary_fill_holes fills, pores opened as a scipy.ndimage.label count."""

import json
import math
import subprocess

import numpy as np
import pytest
from scipy import ndimage

import tarvo
from conftest import TOOLS_EXE
from test_quantities import porous_grain


def tools_section(*args):
    run = subprocess.run([TOOLS_EXE, "section", *map(str, args), "--json"], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


def face_of(v, origin, u, v_axis, width):
    """The face's classes by numpy: 0 outside, 1 solid, 2 pore."""
    h = width // 2
    j, i = np.mgrid[:width, :width].astype(float) - h
    q = [origin[k] + i * u[k] + j * v_axis[k] for k in range(3)]
    p = [np.floor(c + 0.5).astype(np.int64) for c in q]
    dim = v.shape[0]
    inside = np.all([(c >= 0) & (c < dim) for c in p], axis=0)
    solid = np.zeros((width, width), bool)
    solid[inside] = v[p[2][inside], p[1][inside], p[0][inside]]
    filled = ndimage.binary_fill_holes(solid)
    return np.where(solid, 1, np.where(filled, 2, 0)).astype(np.uint8)


def check_row(v, row, width):
    n = np.array([row["nx"], row["ny"], row["nz"]])
    o, u, w = (np.array([row[f"{a}_{k}"] for k in "xyz"]) for a in ("origin", "u", "v"))
    point = np.array([row["px"], row["py"], row["pz"]])
    assert abs(np.dot(u, n)) < 1e-12 and abs(np.dot(w, n)) < 1e-12 and abs(np.dot(u, w)) < 1e-12
    assert np.linalg.norm(u) == pytest.approx(1) and np.linalg.norm(w) == pytest.approx(1)
    assert np.dot(o - point, n) == pytest.approx(0, abs=1e-9)
    face = face_of(v, o, u, w, width)
    pores = face == 2
    labels, count = ndimage.label(pores)
    sizes = sorted(np.bincount(labels.ravel())[1:].tolist(), reverse=True)
    filled = np.pad(face > 0, 1)
    edges = sum(int((np.diff(filled.astype(np.int8), axis=a) != 0).sum()) for a in (0, 1))
    assert row["solid_area"] == int((face == 1).sum())
    assert row["pore_area"] == int(pores.sum())
    assert row["face_area"] == int((face > 0).sum())
    assert row["pores_opened"] == count and row["pore_sizes"] == sizes
    assert row["perimeter"] == pytest.approx(edges * math.pi / 4)
    assert row["equivalent_diameter"] == pytest.approx(math.sqrt(4 * row["face_area"] / math.pi))
    if row["face_area"]:
        assert row["section_porosity"] == pytest.approx(row["pore_area"] / row["face_area"])
    return face


@pytest.mark.parametrize("plane", [["--normal", "0", "0", "1"], ["--normal", "1", "2", "3"],
                                   ["--normal", "-0.3", "1", "0.2", "--through", "20.5", "22", "25"],
                                   ["--cut", "9", "-14", "30"], ["--random", "4", "--seed", "11"]])
def test_section_figures_agree_with_numpy_and_scipy(tmp_path, rng, plane):
    v = porous_grain(rng)
    src = tmp_path / "grain.3d"
    tarvo.write(src, v)
    rows = tools_section(src, *plane)
    assert len(rows) == (4 if "--random" in plane else 1)
    opened = 0
    for row in rows:
        width = 2 * int(math.ceil(max(math.dist([row["origin_x"], row["origin_y"], row["origin_z"]],
                                                [(c >> k & 1) * (48 + 1) - 1 for k in range(3)])
                                      for c in range(8)))) + 3
        face = check_row(v, row, width)
        opened += row["pores_opened"]
        py = tarvo.section(v, (row["nx"], row["ny"], row["nz"]), (row["px"], row["py"], row["pz"]))
        assert np.array_equal(py.pixels, face)
        assert py.pore_sizes == row["pore_sizes"] and py.face_area == row["face_area"]
    assert opened > 0


def test_a_particle_out_to_its_grids_border(tmp_path):
    # Solid out to the grid's every face, with a cavity: the face's pixels next to the grid's edge
    # are solid, and every one of them counts.
    v = np.ones((24, 24, 24), bool)
    v[8:16, 6:18, 9:15] = False
    src = tmp_path / "block.3d"
    tarvo.write(src, v)
    for plane in (["--normal", "1", "2", "3"], ["--normal", "0", "0", "1", "--through", "11", "11", "0"]):
        row = tools_section(src, *plane)[0]
        origin = [row["origin_x"], row["origin_y"], row["origin_z"]]
        width = 2 * int(math.ceil(max(math.dist(origin, [(c >> k & 1) * (24 + 1) - 1 for k in range(3)])
                                      for c in range(8)))) + 3
        face = check_row(v, row, width)
        assert row["solid_area"] > 0 and (row["pore_area"] > 0) == (plane[1] == "1")
        py = tarvo.section(v, (row["nx"], row["ny"], row["nz"]), (row["px"], row["py"], row["pz"]))
        assert np.array_equal(py.pixels, face)


def test_the_face_picture_shows_the_three_classes(tmp_path, rng):
    from skimage import io
    v = porous_grain(rng)
    src = tmp_path / "grain.3d"
    tarvo.write(src, v)
    row = tools_section(src, "--normal", "0", "1", "1", "--png", tmp_path / "face.png")[0]
    picture = io.imread(tmp_path / "face.png")[..., :3]
    face = tarvo.section(v, (0, 1, 1)).pixels
    colours = {tuple(picture[face == k][0]) for k in (0, 1, 2)}
    assert len(colours) == 3
    for k in (0, 1, 2):
        assert (picture[face == k] == picture[face == k][0]).all()
    assert (face == 1).sum() == row["solid_area"]


def test_random_normals_are_uniform_on_the_sphere(tmp_path):
    src = tmp_path / "dot.3d"
    tarvo.write(src, np.ones((3, 3, 3), bool))
    rows = tools_section(src, "--random", "3000", "--seed", "5")
    n = np.array([[r["nx"], r["ny"], r["nz"]] for r in rows])
    assert np.allclose(np.linalg.norm(n, axis=1), 1)
    # Mean 0 and second moments 1/3 on each axis, within five standard errors.
    assert np.all(np.abs(n.mean(axis=0)) < 5 * math.sqrt(1 / 3 / 3000))
    assert np.all(np.abs((n ** 2).mean(axis=0) - 1 / 3) < 5 * math.sqrt(4 / 45 / 3000))
    assert tools_section(src, "--random", "3", "--seed", "5") == rows[:3]
