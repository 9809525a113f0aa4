"""Planes through any point: tarvo-tools cut --normal against an exact reference in Python's
integers, voxels exactly on planes (integer and power-of-two normals), planes where a double sum
gets the side wrong; and the axis form, which must give the tarvo program's bytes."""

import subprocess
from fractions import Fraction
from decimal import Decimal
from math import lcm

import numpy as np
import pytest

import tarvo
from conftest import TOOLS_EXE, blob, program_cut


def tools_cut(*args):
    run = subprocess.run([TOOLS_EXE, "cut", *map(str, args)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return run


def sides(dim, normal, through):
    """The exact sign of n . (p - c) for every voxel, indexed [z, y, x], in scaled integers."""
    n = [Fraction(t) for t in normal]
    c = [Fraction(t) for t in through]
    ln, lc = lcm(*(f.denominator for f in n)), lcm(*(f.denominator for f in c))
    N = [int(f * ln) for f in n]
    C = [int(f * lc) for f in c]
    z, y, x = np.indices((dim, dim, dim), dtype=np.int64)
    f = sum(N[k] * (p * lc - C[k]) for k, p in enumerate((x, y, z)))
    return np.sign(f)


def cut_both_ways(tmp_path, v, normal, through=None):
    src = tmp_path / "in.3d"
    tarvo.write(src, v)
    through_args = ["--through", *through] if through else []
    tools_cut(src, tmp_path / "minus.3d", "--normal", *normal, *through_args)
    tools_cut(src, tmp_path / "plus.3d", "--normal", *normal, *through_args, "--keep", "+")
    return tarvo.read(tmp_path / "minus.3d").voxels, tarvo.read(tmp_path / "plus.3d").voxels


def centre_of(v):
    return [str(c) for c in tarvo.measure(v).center]


def check(tmp_path, v, normal, through=None):
    """Both sides against the reference; the voxels on the plane; returns the count on it."""
    minus, plus = cut_both_ways(tmp_path, v, normal, through)
    s = sides(v.shape[0], normal, through or centre_of(v))
    assert np.array_equal(minus, v & (s <= 0)), (normal, through)
    assert np.array_equal(plus, v & (s >= 0)), (normal, through)
    return int((v & (s == 0)).sum())


def test_random_decimal_planes_agree_with_exact_integers(tmp_path, rng):
    for case in range(25):
        dim = int(rng.choice([1, 5, 17, 32]))
        v = blob(rng, dim)
        digits = lambda: str(round(float(rng.uniform(-3, 3)), int(rng.integers(0, 5))))
        normal = [digits() for _ in range(3)]
        if all(Fraction(t) == 0 for t in normal):
            normal[0] = "1"
        through = None if case % 3 == 0 else [str(round(float(rng.uniform(-2, dim + 2)), 2)) for _ in range(3)]
        check(tmp_path, v, normal, through)


@pytest.mark.parametrize("normal", [["1", "1", "0"], ["2", "-1", "3"], ["0", "0", "-5"], ["0.5", "0.25", "-0.125"],
                                    ["1e-3", "2e-3", "-0.004"], ["-0.0625", "0.5", "4"]])
def test_voxels_exactly_on_planes_are_kept_on_either_side(tmp_path, rng, normal):
    v = blob(rng, 30, density=0.9, holes=0.0)
    assert check(tmp_path, v, normal) > 0
    check(tmp_path, v, normal, ["12.5", "14", "15.25"])


def test_a_plane_whose_double_sum_is_wrong(tmp_path):
    # 0.1 (x-c) + 0.2 (y-c) - 0.3 (z-c) is exactly 0 where x-c = y-c = z-c; in doubles it is not.
    v = np.ones((21, 21, 21), bool)
    normal = ["0.1", "0.2", "-0.3"]
    minus, plus = cut_both_ways(tmp_path, v, normal, ["10", "10", "10"])
    d = np.arange(21, dtype=float) - 10
    double_sum = 0.1 * d + 0.2 * d - 0.3 * d
    assert (double_sum != 0).sum() > 5  # the case is real: doubles put these voxels off the plane
    for k in range(21):
        assert minus[k, k, k] and plus[k, k, k]
    assert check(tmp_path, v, normal, ["10", "10", "10"]) >= 21


@pytest.mark.parametrize("length", [1, 4, 8])
def test_normal_110_agrees_with_the_axis_form_of_the_same_plane(tmp_path, rng, length):
    # (x-cx)/L + (y-cy)/L + (z-cz)/inf > 1 is n.(p - t) > 0 for n = (1, 1, 0), t = (cx+L, cy, cz);
    # L a power of two makes the program's sum exact.
    v = blob(rng, 36, density=0.9, holes=0.05)
    src = tmp_path / "in.3d"
    tarvo.write(src, v)
    cx, cy, cz = tarvo.measure(v).center
    expected = program_cut(src, tmp_path / "program.3d", str(length), str(length), "inf")
    tools_cut(src, tmp_path / "normal.3d", "--normal", "1", "1", "0", "--through", cx + length, cy, cz)
    assert (tmp_path / "normal.3d").read_bytes() == expected
    assert tarvo.read(tmp_path / "normal.3d").voxels.sum() < v.sum()


def test_the_axis_form_gives_the_programs_bytes(tmp_path, rng):
    texts = ["1", "-1", "3", "-3.5", "0", "-0", "0.1", "99999", "1e39", "-1e39", "nan", "inf", "2.5e1", "0x10"]
    for case in range(30):
        dim = int(rng.choice([0, 1, 3, 8, 24, 40]))
        src = tmp_path / f"in{case}.3d"
        tarvo.write(src, blob(rng, dim))
        lengths = [str(rng.choice(texts)) for _ in range(3)]
        expected = program_cut(src, tmp_path / "program.3d", *lengths)
        tools_cut(src, tmp_path / "tools.3d", *lengths)
        assert (tmp_path / "tools.3d").read_bytes() == expected, lengths


@pytest.mark.parametrize("args, words", [
    (["l", "1", "1"], ["'l'", "not a number"]), (["1,5", "1", "1"], ["'1,5'"]), (["1", "", "1"], ["''"]),
    (["1", "1", " 2"], ["' 2'"]), (["--normal", "0", "0", "0"], ["zero"]), (["--normal", "1", "x", "0"], ["'x'"]),
    (["--normal", "1", "0", "0", "--keep", "left"], ["'left'"]), (["--through", "1", "2", "3"], ["--normal"]),
])
def test_lengths_and_planes_that_are_not_numbers_are_refused_with_their_text(tmp_path, args, words):
    src = tmp_path / "in.3d"
    tarvo.write(src, np.ones((4, 4, 4), bool))
    run = subprocess.run([TOOLS_EXE, "cut", str(src), str(tmp_path / "out.3d"), *args], capture_output=True, text=True)
    assert run.returncode == 2
    for w in words:
        assert w in run.stderr
    assert not (tmp_path / "out.3d").exists()


def plane_texts(rng):
    """A normal and a point as the tools take them, and as Python may give them (ints, floats by
    their exact binary value, decimal texts)."""
    kind = rng.integers(0, 3)
    if kind == 0:
        normal = [int(v) for v in rng.integers(-3, 4, 3)]
        if not any(normal):
            normal[0] = 1
        return normal, [str(v) for v in normal]
    if kind == 1:
        normal = [float(v) for v in rng.normal(size=3)]
        return normal, [str(Decimal(v)) for v in normal]
    normal = [f"{v:.3f}" for v in rng.uniform(-2, 2, 3)]
    return normal, normal


def test_python_cut_by_a_normal_is_tools_cut_normal(tmp_path, rng):
    for case in range(24):
        dim = int(rng.choice([1, 5, 12, 23]))
        src = tmp_path / f"in{case}.3d"
        tarvo.write(src, blob(rng, dim))
        normal, normal_texts = plane_texts(rng)
        args, kwargs = ["--normal", *normal_texts], {"normal": normal}
        if case % 3:
            through = [float(v) for v in rng.uniform(0, dim, 3)] if case % 2 else [str(int(v)) for v in rng.integers(0, dim, 3)]
            args += ["--through", *(str(Decimal(v)) if isinstance(v, float) else v for v in through)]
            kwargs["through"] = through
        if case % 4 == 1:
            args += ["--keep", "+"]
            kwargs["keep"] = "+"
        tools_cut(src, tmp_path / "tools.3d", *args)
        tarvo.write(tmp_path / "python.3d", tarvo.cut(tarvo.read(src).voxels, **kwargs))
        assert (tmp_path / "python.3d").read_bytes() == (tmp_path / "tools.3d").read_bytes(), (case, args)
        packed = tarvo.read(src, packed=True).voxels
        tarvo.cut(packed, **kwargs, out=packed, dim=dim)
        tarvo.write(tmp_path / "packed.3d", packed, dim=dim)
        assert (tmp_path / "packed.3d").read_bytes() == (tmp_path / "tools.3d").read_bytes(), (case, args)


def test_python_cut_by_a_normal_refuses_what_is_not_a_plane(rng):
    v = blob(rng, 8)
    for kwargs, error, words in [({"normal": (0, 0.0, "0")}, ValueError, ["zero"]),
                                 ({"normal": (1, "1,5", 0)}, ValueError, ["'1,5'"]),
                                 ({"normal": (1, 0, 0), "through": (float("nan"), 0, 0)}, ValueError, ["nan"]),
                                 ({"normal": (1, 0, 0), "keep": "left"}, ValueError, ["'left'"]),
                                 ({"normal": (1, 0)}, ValueError, ["three"])]:
        with pytest.raises(error) as refused:
            tarvo.cut(v, **kwargs)
        for w in words:
            assert w in str(refused.value), (kwargs, str(refused.value))
    with pytest.raises(TypeError):
        tarvo.cut(v, 1, 1, 1, normal=(1, 0, 0))


def render(*args):
    run = subprocess.run([TOOLS_EXE, "render", *map(str, args)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return run


def test_render_by_a_normal_draws_the_voxels_of_cut_normal_and_faces_the_cut(tmp_path, rng):
    src = tmp_path / "in.3d"
    tarvo.write(src, blob(rng, 30))
    plane = ["--normal", "2", "-1", "0.5", "--through", "14.5", "16", "13", "--keep", "+"]
    tools_cut(src, tmp_path / "cut.3d", *plane)
    for axis, k in [("x", 9), ("y", 15), ("z", 21)]:
        render(src, tmp_path / "a.png", *plane, "--slice", f"{axis}:{k}", "--size", 64)
        render(tmp_path / "cut.3d", tmp_path / "b.png", "--slice", f"{axis}:{k}", "--size", 64)
        assert (tmp_path / "a.png").read_bytes() == (tmp_path / "b.png").read_bytes(), (axis, k)
    # x + y = cx + cy + 1 both ways: tarvo's lengths 1 1 inf clear x - cx + y - cy > 1, as the
    # normal (1, 1, 0) through (cx + 1, cy, cz) does, and as (-1, -1, 0) keeping + does: the same
    # voxels, the same cut face, looked at from the same side.
    cx, cy, cz = tarvo.measure(tarvo.read(src)).center
    render(src, tmp_path / "lengths.png", "--cut", "1", "1", "inf", "--size", 96)
    for normal, keep in [(["1", "1", "0"], "-"), (["-1", "-1", "0"], "+")]:
        render(src, tmp_path / "normal.png", "--normal", *normal, "--through", cx + 1, cy, cz, "--keep", keep,
               "--size", 96)
        assert (tmp_path / "normal.png").read_bytes() == (tmp_path / "lengths.png").read_bytes(), (normal, keep)
