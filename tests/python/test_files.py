"""Files written from Python are the bytes the tarvo program writes: random particles and streams,
cut lengths as text and as numbers, both forms of the voxels, and the cuts decided by the last bit
of the extended-precision plane sum. What read() reports of a file as stored."""

import os

import numpy as np
import pytest

import tarvo
from conftest import SAMPLE, blob, header_bytes, program_cut

# Lengths the program is given as text: signs, zeros, the parallel planes, NaN, text that is no
# number, single-precision rounding.
TEXT_LENGTHS = ["1", "-1", "3", "-3.5", "0", "-0", "0.1", "99999", "1e39", "-1e39", "nan", "-Infinity", "2.5e1", "0x1p3"]


def random_stream(rng, dim):
    """Header and code bytes of every kind: literals 0..BF, markers with values of all 256 kinds
    (only 1..127 set a voxel), too few codes (the rest reads empty) or surplus bytes."""
    codes = bytearray()
    while len(codes) < rng.integers(0, 2 * dim**3 // 3 + 8):
        if rng.random() < 0.5:
            codes.append(int(rng.choice([0, 1, 1, 2, 5, 127, 128, 0xBF])))
        else:
            codes += bytes([0xC0 | int(rng.integers(0, 64)), int(rng.choice([0, 1, 1, 3, 127, 128, 200, 255]))])
    return header_bytes(dim, [int(v) for v in rng.integers(-2**31, 2**31, 12)[:1]] + [dim] + [7] * 10) + bytes(codes)


def random_length(rng):
    """A cut length as (program text, Python argument): text, or a float whose repr reads back exactly."""
    if rng.random() < 0.5:
        text = str(rng.choice(TEXT_LENGTHS))
        return text, text
    value = float(rng.choice([-1, 1]) * rng.uniform(0.2, 40))
    return repr(value), value


def test_random_cuts_are_the_programs_bytes(tmp_path, rng):
    for case in range(60):
        dim = int(rng.choice([0, 1, 2, 3, 5, 8, 13, 24, 31, 40]))
        source = tmp_path / f"in{case}.3d"
        if case % 2:
            source.write_bytes(random_stream(rng, dim))
        else:
            tarvo.write(source, blob(rng, dim))
        texts, args = zip(*(random_length(rng) for _ in range(3)))
        expected = program_cut(source, tmp_path / "program.3d", *texts)

        tarvo.write(tmp_path / "python.3d", tarvo.cut(tarvo.read(source).voxels, *args))
        assert (tmp_path / "python.3d").read_bytes() == expected, (case, dim, texts)

        packed = tarvo.read(source, packed=True).voxels
        tarvo.write(tmp_path / "packed.3d", tarvo.cut(packed, *args, out=packed, dim=dim or None), dim=dim or None)
        assert (tmp_path / "packed.3d").read_bytes() == expected, (case, dim, texts)


def test_the_sample_grain_and_a_threaded_grid(tmp_path, rng):
    # 140**3 voxels pass the threshold above which the library and the conversions use two threads.
    big = tmp_path / "big.3d"
    tarvo.write(big, blob(rng, 140, holes=0.03))
    for source in (SAMPLE, big):
        for texts in (("1", "1", "99999"), ("20", "-20", "20"), ("-7.25", "0", "1e39")):
            expected = program_cut(source, tmp_path / "program.3d", *texts)
            tarvo.write(tmp_path / "python.3d", tarvo.cut(tarvo.read(source), *texts))
            assert (tmp_path / "python.3d").read_bytes() == expected, (source, texts)


def test_plane_exactness_around_the_centre(tmp_path):
    # A solid cube of edge 40: its centre is (19, 19, 19). With cut 3 3 3 the plane sum of offset
    # (-12, 4, 11) rounds to just above 1 and that of (-11, 5, 9) to exactly 1.
    solid = np.ones((40, 40, 40), bool)
    assert tarvo.measure(solid).center == (19, 19, 19)
    cut = tarvo.cut(solid, "3", "3", "3")
    c = np.array([19, 19, 19])
    cleared, kept = c + (-12, 4, 11), c + (-11, 5, 9)
    assert not cut[cleared[2], cleared[1], cleared[0]]
    assert cut[kept[2], kept[1], kept[0]]
    assert tarvo.beyond(solid, 3, 3, 3)[cleared[2], cleared[1], cleared[0]]

    source = tmp_path / "cube.3d"
    tarvo.write(source, solid)
    expected = program_cut(source, tmp_path / "program.3d", "3", "3", "3")
    tarvo.write(tmp_path / "python.3d", cut)
    assert (tmp_path / "python.3d").read_bytes() == expected


def test_numbers_round_to_single_precision_like_text():
    v = blob(np.random.default_rng(5), 48, holes=0.0)
    # 0.1 and 0.1000000001 are one float; 0.1000001 is the next one up.
    assert np.array_equal(tarvo.cut(v, 0.1, 0.1, 9), tarvo.cut(v, "0.1000000001", "0.1", "9"))
    assert np.array_equal(tarvo.cut(v, np.float32(2.7), 5, -9), tarvo.cut(v, "2.7", "5", "-9"))
    assert np.array_equal(tarvo.cut(v, float("inf"), 3, 0.0), tarvo.cut(v, "1e39", "3", "0"))


def test_header_and_stream_as_stored(tmp_path):
    # README's example body of edge 2 (C3 01 C4 00 01), with nonsense header fields and 2 bytes after it.
    fields = [5, 2, -1, 99, 3, 3, 0, 0, 1, 2, 3, -7]
    path = tmp_path / "odd.3d"
    path.write_bytes(header_bytes(2, fields, slot=1234) + bytes([0xC3, 1, 0xC4, 0, 1, 9, 9]))
    p = tarvo.read(path)
    assert p.header == tarvo.Header(*fields, 1234)
    assert p.stream == tarvo.Stream(code_bytes=5, surplus_bytes=2, voxels_coded=8, voxels_needed=8,
                                    ends_early=False, file_bytes=59)
    expected = np.zeros((2, 2, 2), bool)
    expected[0, 0, :] = expected[0, 1, 0] = expected[1, 1, 1] = True
    assert np.array_equal(p.voxels, expected)

    # A header that ends after five fields: dim is read, the rest of the file is missing.
    path.write_bytes(header_bytes(3, [1, 3, 4, 5, 6] + [0] * 7)[:20])
    p = tarvo.read(path)
    assert p.header == tarvo.Header(1, 3, 4, 5, 6, *[None] * 8)
    assert p.stream.ends_early and p.stream.voxels_coded == 0 and not p.voxels.any()


def test_write_refuses_a_link_another_user_planted_in_a_shared_folder(tmp_path):
    """In a sticky, world-writable folder (/tmp) a link is followed only when it is the caller's
    or the folder owner's, as the kernel's protected_symlinks rule has it; root is bound too."""
    if os.geteuid() != 0:
        pytest.skip("planting another user's link needs root")
    shared = tmp_path / "tmp"
    shared.mkdir()
    os.chmod(shared, 0o1777)
    important = tmp_path / "important.txt"
    important.write_bytes(b"IMPORTANT\n")
    links = [(shared / "out.3d", important), (shared / "new.3d", tmp_path / "created.3d")]
    v = np.ones((3, 3, 3), bool)
    for link, target in links:
        os.symlink(target, link)
        os.lchown(link, 12345, 12345)
        with pytest.raises(PermissionError) as refused:
            tarvo.write(link, v)
        assert "symbolic link" in str(refused.value) and refused.value.filename == str(link)
    assert important.read_bytes() == b"IMPORTANT\n"
    assert not (tmp_path / "created.3d").exists()
    assert sorted(os.listdir(shared)) == ["new.3d", "out.3d"]
    mine = shared / "mine.3d"
    os.symlink(tmp_path / "mine-target.3d", mine)
    tarvo.write(mine, v)
    assert mine.is_symlink() and tarvo.read(tmp_path / "mine-target.3d").voxels.all()

