"""The two forms of a particle agree with numpy's packbits and with each other, in every layout
and element size; results land where asked (new arrays, out= in any form, in place without a
copy); measurements agree with numpy."""

import numpy as np
import pytest

import tarvo
from conftest import blob

# Edges around whole bytes and words; 130**3 voxels go on two threads.
EDGES = [0, 1, 2, 3, 7, 8, 9, 63, 64, 65, 130]


def layouts(v):
    """The same voxels as arrays of other layouts and element types."""
    t = np.ascontiguousarray(v.transpose(2, 1, 0)).transpose(2, 1, 0)  # Fortran order
    r = np.ascontiguousarray(v[::-1, ::-1, ::-1])[::-1, ::-1, ::-1]  # negative strides
    wide = np.zeros((v.shape[0], v.shape[1], 2 * v.shape[2] + 1), bool)
    wide[:, :, 1::2] = v  # a strided view
    odd_bytes = v.view(np.uint8) * np.uint8(3)  # bool bytes of value 3 are set
    return [t, r, wide[:, :, 1::2], odd_bytes.view(bool)] + [v.astype(t) for t in (np.uint8, np.int8, np.int16, np.uint32, np.int64)]


@pytest.mark.parametrize("dim", EDGES)
def test_packed_form_is_numpys_little_bit_order(dim, rng):
    v = rng.random((dim, dim, dim)) < 0.5
    expected = np.packbits(v.ravel(), bitorder=tarvo.BITORDER)
    for form in [v] + layouts(v):
        packed = tarvo.pack(form)
        assert packed.dtype == np.uint8 and np.array_equal(packed, expected), form.dtype
    back = tarvo.unpack(expected, dim=dim)
    assert back.dtype == bool and back.flags.c_contiguous and np.array_equal(back, v)
    assert np.array_equal(tarvo.unpack(tarvo.pack(v), dim=dim), v)


def test_cut_and_beyond_agree_in_every_form(rng):
    v = blob(rng, 70)
    args = ("4", "-9", "12")
    cut = tarvo.cut(v, *args)
    packed = tarvo.pack(v)
    assert np.array_equal(tarvo.unpack(tarvo.cut(packed, *args)), cut)
    assert np.array_equal(tarvo.unpack(tarvo.cut(np.packbits(v.ravel(), bitorder="little"), *args)), cut)
    for form in layouts(v):
        assert np.array_equal(tarvo.cut(form, *args), cut)
    gone = tarvo.beyond(v, *args)
    assert gone.any() and cut.any()
    assert np.array_equal(cut, v & ~gone)
    assert np.array_equal(tarvo.unpack(tarvo.beyond(packed, *args)), gone)


def test_out_takes_any_form_and_in_place_needs_no_copy(rng):
    v = blob(rng, 50)
    args = (7, 7, -3)
    expected = tarvo.cut(v, *args)
    original = v.copy()

    for out in (np.empty_like(v), np.full(v.shape, 9, np.int32), np.zeros((50, 50, 100), bool)[:, :, ::2]):
        assert tarvo.cut(v, *args, out=out) is out
        assert np.array_equal(out != 0, expected) and set(np.unique(out)) <= {0, 1}
    assert np.array_equal(v, original), "a cut into out leaves its input as it was"

    bits = np.empty((50**3 + 7) // 8, np.uint8)
    tarvo.cut(v, *args, out=bits)
    assert np.array_equal(tarvo.unpack(bits), expected)

    w = v.copy()
    assert tarvo.cut(w, *args, out=w) is w and np.array_equal(w, expected)

    p = tarvo.pack(v)
    address = p.__array_interface__["data"][0]
    assert tarvo.cut(p, *args, out=p) is p and p.__array_interface__["data"][0] == address
    assert np.array_equal(tarvo.unpack(p), expected)


def test_bits_past_the_last_voxel_are_ignored(rng):
    dim = 9  # 729 voxels: the last byte holds one voxel and seven spare bits
    v = blob(rng, dim, holes=0.0)
    clean = tarvo.pack(v)
    dirty = clean.copy()
    dirty[-1] |= 0xFE
    mine = tarvo.pack(v)
    mine[-1] |= 0xFE
    for bits in (dirty, mine):
        assert tarvo.measure(bits) == tarvo.measure(v)
        assert np.array_equal(tarvo.cut(bits, 2, 2, 2)[:-1], tarvo.cut(clean, 2, 2, 2)[:-1])
        assert tarvo.cut(bits, 2, 2, 2)[-1] == tarvo.cut(clean, 2, 2, 2)[-1]
    assert np.array_equal(tarvo.unpack(dirty), v)


def numpy_measure(v):
    """tarvo's measurements by numpy: positions (x, y, z), means truncated, empty as the program."""
    dim = v.shape[0]
    z, y, x = np.nonzero(v)
    if len(x) == 0:
        return tarvo.Measurement(0, (dim - 1,) * 3, (0, 0, 0), (0, 0, 0), ((dim - 1) // 2,) * 3)
    lo = (int(x.min()), int(y.min()), int(z.min()))
    hi = (int(x.max()), int(y.max()), int(z.max()))
    mean = tuple(int(a.sum() // len(a)) for a in (x, y, z))
    center = tuple((a + b) // 2 for a, b in zip(lo, hi))
    return tarvo.Measurement(len(x), lo, hi, mean, center)


@pytest.mark.parametrize("dim", [1, 2, 5, 33, 64, 130])
def test_measure_agrees_with_numpy(dim, rng):
    for v in (blob(rng, dim), np.zeros((dim,) * 3, bool), rng.random((dim,) * 3) < 0.001):
        assert tarvo.measure(v) == numpy_measure(v)
        assert tarvo.measure(tarvo.pack(v), dim=dim) == numpy_measure(v)
