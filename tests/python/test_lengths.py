"""Cut lengths that are not wholly numbers: refused with their text by every tarvo-tools option and
Python function that takes them, while every text the program reads whole is taken with the
program's value (hexadecimal, inf, nan in any case) and gives the program's result."""

import subprocess

import numpy as np
import pytest

import tarvo
from conftest import TOOLS_EXE, blob, program_cut

NOT_NUMBERS = ["l", "1,5", " 2", "2 ", "", "1e", "0x", "1_0", "2.5xyz"]
# Whole numbers the program reads, each with a plain spelling of the same float.
WHOLE = [("0x10", "16"), ("-0X1p-1", "-0.5"), ("+2.5E1", "25"), ("INF", "1e39"), ("-Infinity", "-1e39"),
         ("NaN", "nan"), ("0x1.8p3", "12"), (".5", "0.5"), ("099", "99")]


def tools(*args):
    return subprocess.run([TOOLS_EXE, *map(str, args)], capture_output=True, text=True)


@pytest.fixture
def grain(tmp_path, rng):
    src = tmp_path / "in.3d"
    tarvo.write(src, blob(rng, 20))
    return src


# Every tools option taking X Y Z, with the output it would write.
OPTIONS = {
    "render": lambda src, out, xyz: ["render", src, out.with_suffix(".png"), "--cut", *xyz],
    "mesh": lambda src, out, xyz: ["mesh", src, out.with_suffix(".ply"), "--cut", *xyz],
    "section": lambda src, out, xyz: ["section", src, "--cut", *xyz, "--png", out.with_suffix(".png")],
    "cut": lambda src, out, xyz: ["cut", src, out.with_suffix(".3d"), *xyz],
}


@pytest.mark.parametrize("option", OPTIONS)
@pytest.mark.parametrize("bad", NOT_NUMBERS)
def test_the_tools_refuse_a_length_that_is_not_a_number_with_its_text(tmp_path, grain, option, bad):
    out = tmp_path / "out"
    run = tools(*OPTIONS[option](grain, out, ["1", bad, "1"]))
    assert run.returncode == 2, (option, bad, run.stderr)
    assert f"'{bad}' is not a number" in run.stderr
    assert list(tmp_path.glob("out*")) == []


@pytest.mark.parametrize("option", OPTIONS)
def test_the_tools_take_every_whole_number_as_the_program_does(tmp_path, grain, option):
    for k in range(0, len(WHOLE), 3):
        texts, plain = zip(*WHOLE[k:k + 3])
        a, b = tmp_path / f"a{k}", tmp_path / f"b{k}"
        ra, rb = tools(*OPTIONS[option](grain, a, texts)), tools(*OPTIONS[option](grain, b, plain))
        # section has no plane for lengths none of which is finite: the same row of failure for both
        assert ra.returncode == rb.returncode and ra.returncode in (0, 1), (option, texts, ra.stderr, rb.stderr)
        written_a, written_b = sorted(tmp_path.glob(f"a{k}.*")), sorted(tmp_path.glob(f"b{k}.*"))
        assert len(written_a) == len(written_b) == (ra.returncode == 0)
        assert [f.read_bytes() for f in written_a] == [f.read_bytes() for f in written_b], (option, texts)
        assert ra.stdout.replace(str(a), "") == rb.stdout.replace(str(b), ""), (option, texts)


PYTHON_CALLS = {
    "cut": lambda v, xyz: tarvo.cut(v, *xyz),
    "beyond": lambda v, xyz: tarvo.beyond(v, *xyz),
    "mesh": lambda v, xyz: tarvo.mesh(v, cut=xyz),
}


@pytest.mark.parametrize("call", PYTHON_CALLS)
@pytest.mark.parametrize("bad", NOT_NUMBERS)
def test_python_refuses_a_length_that_is_not_a_number_with_its_text(grain, call, bad):
    v = tarvo.read(grain).voxels
    with pytest.raises(ValueError) as refused:
        PYTHON_CALLS[call](v, ["1", "1", bad])
    assert f"'{bad}' is not a number" in str(refused.value)


@pytest.mark.parametrize("bad", NOT_NUMBERS)
def test_python_section_refuses_coordinates_that_are_not_numbers(grain, bad):
    v = tarvo.read(grain).voxels
    with pytest.raises(ValueError) as refused:
        tarvo.section(v, ["1", bad, "0"])
    assert f"normal '{bad}' is not a number" in str(refused.value)
    with pytest.raises(ValueError) as refused:
        tarvo.section(v, [1, 0, 0], through=[bad, 3, 3])
    assert f"through '{bad}' is not a number" in str(refused.value)


def test_python_takes_every_whole_number_as_the_program_does(tmp_path, grain):
    v = tarvo.read(grain).voxels
    for k in range(0, len(WHOLE), 3):
        texts, plain = zip(*WHOLE[k:k + 3])
        tarvo.write(tmp_path / "python.3d", tarvo.cut(v, *texts))
        assert (tmp_path / "python.3d").read_bytes() == program_cut(grain, tmp_path / "program.3d", *texts), texts
        assert np.array_equal(tarvo.beyond(v, *texts), tarvo.beyond(v, *plain)), texts
        assert np.array_equal(tarvo.mesh(v, cut=texts).faces, tarvo.mesh(v, cut=plain).faces), texts
    s, t = tarvo.section(v, ["0x1", "1", "0"], through=["1e1", "0x9", "10"]), tarvo.section(v, [1, 1, 0], [10, 9, 10])
    assert np.array_equal(s.pixels, t.pixels) and s.face_area == t.face_area
