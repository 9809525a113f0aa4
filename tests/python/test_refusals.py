"""Every refusal: files the program refuses raise FormatError with the program's own message,
failures of the system raise OSError with its error number, and arrays of the wrong dtype, shape
or edge raise TypeError or ValueError saying what was expected."""

import errno

import numpy as np
import pytest

import tarvo
from conftest import header_bytes, run_tarvo


@pytest.mark.parametrize("content", [b"", b"\x01\x02\x03\x04\x05", header_bytes(4)[:7],
                                     header_bytes(-1), header_bytes(1291), header_bytes(2**31 - 1)])
def test_refused_files_raise_format_error_with_the_programs_message(tmp_path, content):
    path = tmp_path / "bad.3d"
    path.write_bytes(content)
    with pytest.raises(tarvo.FormatError) as refused:
        tarvo.read(str(path))
    assert isinstance(refused.value, ValueError)
    run = run_tarvo(path, tmp_path / "out.3d", "1", "1", "1")
    assert run.returncode == 1
    assert str(refused.value) in run.stdout.splitlines()


def test_failures_of_the_system_raise_oserror(tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        tarvo.read(tmp_path / "missing.3d")
    assert missing.value.errno == errno.ENOENT and missing.value.filename == str(tmp_path / "missing.3d")
    with pytest.raises(IsADirectoryError):
        tarvo.read(tmp_path)
    v = np.ones((4, 4, 4), bool)
    with pytest.raises(FileNotFoundError):
        tarvo.write(tmp_path / "no" / "such" / "folder.3d", v)
    with pytest.raises(OSError) as full:
        tarvo.write("/dev/full", v)
    assert full.value.errno == errno.ENOSPC


CUBE = np.zeros((3, 3, 3), bool)


@pytest.mark.parametrize("call, error, words", [
    (lambda: tarvo.measure(np.zeros((3, 3, 3))), TypeError, ["float64", "bool"]),
    (lambda: tarvo.measure(np.zeros((3, 3, 3), np.complex64)), TypeError, ["complex64"]),
    (lambda: tarvo.measure(np.zeros((3, 3, 3), ">i4")), TypeError, ["byte order"]),
    (lambda: tarvo.measure(np.full((3, 3, 3), 255, np.uint8)), ValueError, ["uint8", "255", "[0, 0, 0]"]),
    (lambda: tarvo.cut(np.eye(3, dtype=np.int64)[None].repeat(3, 0) * -1, 1, 1, 1), ValueError, ["-1", "[0, 0, 0]"]),
    (lambda: tarvo.write("x.3d", np.array([[[0, 1], [1, 0]], [[0, 0], [0, 2]]])), ValueError, ["2", "[1, 1, 1]"]),
    (lambda: tarvo.measure(np.zeros((3, 4, 4), bool)), ValueError, ["(dim, dim, dim)", "(3, 4, 4)"]),
    (lambda: tarvo.measure(np.zeros((4, 4), bool)), ValueError, ["(4, 4)"]),
    (lambda: tarvo.measure(np.lib.stride_tricks.as_strided(CUBE, (1291,) * 3, (0, 0, 0))), ValueError, ["1291", "0 to 1290"]),
    (lambda: tarvo.measure(np.zeros(10, np.uint8)), ValueError, ["10 bytes", "ceil(n**3 / 8)"]),
    (lambda: tarvo.measure(np.zeros(1, np.uint8)), ValueError, ["dim="]),
    (lambda: tarvo.measure(np.zeros(4, np.uint8), dim=4), ValueError, ["edge 4 has 8 bytes"]),
    (lambda: tarvo.measure(np.zeros(8, bool)), TypeError, ["uint8", "bool"]),
    (lambda: tarvo.measure(CUBE, dim=4), ValueError, ["edge 3", "dim=4"]),
    (lambda: tarvo.cut(CUBE, 1, 1, 1, out=np.zeros((4, 4, 4), bool)), ValueError, ["out", "edge 4"]),
    (lambda: tarvo.cut(CUBE, 1, 1, 1, out=np.zeros((3, 3, 3), float)), TypeError, ["out", "float64"]),
    (lambda: tarvo.cut(CUBE, 1, 1, 1, out=np.broadcast_to(CUBE, (3, 3, 3))), ValueError, ["read-only"]),
    (lambda: tarvo.cut(CUBE, [1], 1, 1), TypeError, ["str or a real number", "list"]),
    (lambda: tarvo.measure("grain.3d"), TypeError, ["tarvo.read(path)"]),
])
def test_wrong_arrays_say_what_was_expected(call, error, words):
    with pytest.raises(error) as refused:
        call()
    for word in words:
        assert word in str(refused.value)


def test_a_nul_in_a_path_or_a_length_is_a_value_error_as_open_gives(tmp_path):
    v = np.ones((3, 3, 3), bool)
    tarvo.write(tmp_path / "a.3d", v)
    with pytest.raises(ValueError, match="null byte"):
        open(str(tmp_path / "a.3d") + "\0x", "rb")
    with pytest.raises(ValueError, match="null byte"):
        tarvo.read(str(tmp_path / "a.3d") + "\0x")
    with pytest.raises(ValueError, match="null byte"):
        tarvo.read(bytes(tmp_path / "a.3d") + b"\0x")
    for _ in range(2):
        with pytest.raises(ValueError, match="null byte"):
            tarvo.write(str(tmp_path / "v.3d") + "\0.png", v)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["a.3d"]
    for length in ["1\0 99999", b"1\0"]:
        with pytest.raises(ValueError, match="null byte"):
            tarvo.cut(v, length, 1, 1)


def test_a_cut_length_that_is_no_argument_text_raises_a_short_value_error():
    v = np.ones((40, 40, 40), bool)
    with pytest.raises(ValueError) as refused:
        tarvo.cut(v, "\ud800", 1, 1)
    assert len(str(refused.value)) < 200
    # A length of bytes that are no UTF-8 is no number: refused with its bytes escaped in a short message.
    for length in ["\udcff", b"\xff"]:
        with pytest.raises(ValueError, match=r"cut length '\\xff' is not a number") as refused:
            tarvo.cut(v, length, "1", "1")
        assert len(str(refused.value)) < 200
