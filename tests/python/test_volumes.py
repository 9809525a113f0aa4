"""Labelled volumes through tarvo-tools split and merge, checked against numpy and scipy, and
hostile volumes that must fail with nothing written."""

import gzip
import os
import shutil
import subprocess

import numpy as np
import pytest
import scipy.ndimage

import tarvo
from conftest import TOOLS_EXE


def tools(*args):
    return subprocess.run([TOOLS_EXE, *map(str, args)], capture_output=True, text=True)


def labelled_volume(rng, shape=(300, 320, 280), cuts=(7, 8, 9)):
    """Touching box-shaped grains of random sizes filling the volume (so many touch its border),
    their labels a random sample of uint16, each grain with random holes."""
    edges = [np.sort(rng.choice(np.arange(1, n), k - 1, replace=False)) for n, k in zip(shape, cuts)]
    cells = [np.searchsorted(e, np.arange(n), side="right") for e, n in zip(edges, shape)]
    cell = (cells[0][:, None, None] * cuts[1] + cells[1][None, :, None]) * cuts[2] + cells[2][None, None, :]
    names = rng.choice(np.arange(1, 65536), cell.max() + 1, replace=False).astype(np.uint16)
    labels = names[cell]
    labels[rng.random(shape) < 0.05] = 0
    return labels


def assert_header_is_measurement(p):
    """split takes a particle's measurement from its pass over the volume, not from the grid: the
    header must hold what the library measures on the grid."""
    m = tarvo.measure(p.voxels)
    h = p.header
    assert (h.voxels, (h.x_min, h.y_min, h.z_min), (h.x_max, h.y_max, h.z_max), (h.x_mean, h.y_mean, h.z_mean)) == \
        (m.count, m.min, m.max, m.mean)


def read_index(path):
    lines = path.read_text().splitlines()
    assert lines[0].startswith("# tarvo-tools split: volume ")
    head = lines[1].split(",")
    return lines[0], [dict(zip(head, line.split(","))) for line in lines[2:]]


def test_split_is_numpy_per_label_and_merge_gives_the_volume_back(tmp_path, rng):
    labels = labelled_volume(rng)  # indices z, y, x
    raw = tmp_path / "labels.raw"
    labels.astype("<u2").tofile(raw)
    nz, ny, nx = labels.shape
    run = tools("split", raw, tmp_path / "out", "--size", f"{nx},{ny},{nz}", "--type", "uint16",
                "--spacing", "0.5,0.5,2", "--unit", "um")
    assert run.returncode == 0, run.stderr
    first, rows = read_index(tmp_path / "out" / "index.csv")
    assert first == f"# tarvo-tools split: volume {nx} {ny} {nz} uint16"
    present = np.unique(labels[labels > 0])
    assert [int(r["label"]) for r in rows] == list(present)
    objects = scipy.ndimage.find_objects(labels)
    for r in rows:
        k = int(r["label"])
        sl = objects[k - 1]
        assert [int(r[f"offset_{a}"]) for a in "zyx"] == [s.start for s in sl]
        assert [int(r[f"max_{a}"]) + 1 for a in "zyx"] == [s.stop for s in sl]
        grain = labels[sl] == k
        assert int(r["voxels"]) == grain.sum()
        assert int(r["edge"]) == max(grain.shape)
        assert [float(r[f"voxel_size_{a}"]) for a in "xyz"] == [0.5, 0.5, 2] and r["unit"] == "um"
        p = tarvo.read(tmp_path / "out" / r["file"])
        expected = np.zeros((p.dim,) * 3, bool)
        expected[: grain.shape[0], : grain.shape[1], : grain.shape[2]] = grain
        assert np.array_equal(p.voxels, expected), k
        assert_header_is_measurement(p)
    assert '"voxel_size": [0.5, 0.5, 2]' in (tmp_path / "out" / (rows[0]["file"] + ".json")).read_text()

    run = tools("merge", tmp_path / "out" / "index.csv", tmp_path / "back.raw")
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "back.raw").read_bytes() == raw.read_bytes()


def test_selection_margin_and_nrrd_gzip_big_endian(tmp_path, rng):
    labels = labelled_volume(rng, shape=(40, 50, 60), cuts=(3, 3, 3)).astype(np.uint32)
    labels[10:30, 20:30, 25:35] = 70000  # a grain inside, a label beyond uint16
    nrrd = tmp_path / "l.nrrd"
    header = (f"NRRD0004\ntype: uint32\ndimension: 3\nsizes: 60 50 40\nendian: big\nencoding: gzip\n"
              f"space directions: (0.005,0,0) (0,0.005,0) (0,0,0.005)\nspace units: \"mm\" \"mm\" \"mm\"\n\n")
    nrrd.write_bytes(header.encode() + gzip.compress(labels.astype(">u4").tobytes()))
    run = tools("split", nrrd, tmp_path / "one", "--label", "70000", "--margin", "2")
    assert run.returncode == 0, run.stderr
    _, rows = read_index(tmp_path / "one" / "index.csv")
    assert len(rows) == 1 and rows[0]["label"] == "70000" and rows[0]["unit"] == "mm"
    assert [int(rows[0][f"offset_{a}"]) for a in "xyz"] == [23, 18, 8] and rows[0]["edge"] == "24"
    p = tarvo.read(tmp_path / "one" / rows[0]["file"])
    assert p.voxels.sum() == 2000 and p.voxels[2:22, 2:12, 2:12].all()
    assert_header_is_measurement(p)

    run = tools("split", nrrd, tmp_path / "inner", "--drop-border", "--min-voxels", "10")
    assert run.returncode == 0, run.stderr
    _, rows = read_index(tmp_path / "inner" / "index.csv")
    for r in rows:
        k = int(r["label"])
        z, y, x = np.nonzero(labels == k)
        assert min(x.min(), y.min(), z.min()) > 0 and x.max() < 59 and y.max() < 49 and z.max() < 39
    assert 70000 in [int(r["label"]) for r in rows]

    run = tools("split", nrrd, tmp_path / "all", "--margin", "3")
    assert run.returncode == 0, run.stderr
    for r in read_index(tmp_path / "all" / "index.csv")[1]:
        assert_header_is_measurement(tarvo.read(tmp_path / "all" / r["file"]))
    run = tools("merge", tmp_path / "all" / "index.csv", tmp_path / "back.nrrd")
    assert run.returncode == 0, run.stderr
    back = (tmp_path / "back.nrrd").read_bytes()
    text, data = back.split(b"\n\n", 1)
    assert b"type: uint32" in text and b"spacings: 0.005 0.005 0.005" in text
    assert np.array_equal(np.frombuffer(data, "<u4").reshape(labels.shape), labels)


def test_a_grain_beyond_the_edge_limit_is_refused_by_name_the_rest_written(tmp_path):
    labels = np.zeros((4, 4, 1300), np.uint8)
    labels[1, 1, :] = 3
    labels[2, 2, 5:9] = 4
    raw = tmp_path / "long.raw"
    labels.tofile(raw)
    run = tools("split", raw, tmp_path / "out", "--size", "1300,4,4", "--type", "uint8")
    assert run.returncode == 1
    assert "label 3: its extent 1300 x 1 x 1 exceeds the edge limit 1290" in run.stderr
    _, rows = read_index(tmp_path / "out" / "index.csv")
    assert [r["label"] for r in rows] == ["4"]


def hostile(tmp_path):
    """Volumes that must be refused: (name, bytes, message)."""
    big = gzip.compress(bytes(64 << 20))  # 64 MiB of zeros in about 64 KiB
    many = np.arange(1, 2_000_001, dtype="<u4")  # every voxel its own label
    outside = tmp_path / "secret.raw"
    outside.write_bytes(bytes(8))
    os.makedirs(tmp_path / "h", exist_ok=True)
    return [
        ("over64.nrrd", b"NRRD0004\ntype: uint8\ndimension: 3\nsizes: 18446744073709551617 2 2\nencoding: raw\n\n",
         "not three whole numbers below 10^12"),
        ("over32.nrrd", b"NRRD0004\ntype: uint8\ndimension: 3\nsizes: 4294967296 4294967296 4294967296\nencoding: raw\n\n",
         "voxels a layer"),
        ("overvol.nrrd", b"NRRD0004\ntype: uint8\ndimension: 3\nsizes: 16384 16384 16777216\nencoding: raw\n\n",
         "a volume"),
        ("short.nrrd", b"NRRD0004\ntype: uint16\nendian: little\ndimension: 3\nsizes: 4 4 4\nencoding: raw\n\n" + bytes(100),
         "describes 128 bytes of labels"),
        ("shortgz.nrrd", b"NRRD0004\ntype: uint8\ndimension: 3\nsizes: 4 4 4\nencoding: gzip\n\n" + gzip.compress(bytes(60)),
         "ends after 60 bytes of labels"),
        ("bomb.nrrd", b"NRRD0004\ntype: uint8\ndimension: 3\nsizes: 8 8 8\nencoding: gzip\n\n" + big,
         "holds more than the 512 bytes"),
        ("away.nhdr", b"NRRD0004\ntype: uint8\ndimension: 3\nsizes: 2 2 2\nencoding: raw\ndata file: ../secret.raw\n",
         "outside the header's folder"),
        ("abs.nhdr", f"NRRD0004\ntype: uint8\ndimension: 3\nsizes: 2 2 2\nencoding: raw\ndata file: {outside}\n".encode(),
         "relative to the header's folder"),
        ("dev.nhdr", b"NRRD0004\ntype: uint8\ndimension: 3\nsizes: 2 2 2\nencoding: raw\ndata file: h\n",
         "no regular file"),
        ("many.nrrd", b"NRRD0004\ntype: uint32\nendian: little\ndimension: 3\nsizes: 2000 1000 1\nencoding: raw\n\n"
         + many.tobytes(), "more than 1048576 distinct labels"),
        ("zero.nrrd", b"NRRD0004\ntype: uint8\ndimension: 3\nsizes: 3 3 3\nencoding: raw\n\n" + bytes(27),
         "has no label to split: every voxel is 0"),
    ]


def test_hostile_volumes_fail_clearly_and_write_nothing(tmp_path):
    for name, data, message in hostile(tmp_path):
        (tmp_path / name).write_bytes(data)
        out = tmp_path / ("out-" + name)
        run = subprocess.run(["/bin/sh", "-c", 'ulimit -v 1000000; exec "$@"', "sh", TOOLS_EXE, "split",
                              str(tmp_path / name), str(out)], capture_output=True, text=True)
        assert run.returncode == 1, (name, run.stderr)
        assert message in run.stderr, (name, run.stderr)
        assert name in run.stderr or "secret" in run.stderr or "/h'" in run.stderr, (name, run.stderr)
        assert not out.exists(), name


def unu():
    for name in ("teem-unu", "unu"):
        if shutil.which(name):
            return name
    pytest.skip("teem's unu is not installed (Debian: teem-apps)")


def test_unu_gzip_16_bit_nrrd_splits_and_tarvo_nrrds_read_back_in_unu(tmp_path, rng):
    labels = labelled_volume(rng, shape=(30, 40, 50), cuts=(3, 4, 3))
    labels.astype("<u2").tofile(tmp_path / "l.raw")
    made = subprocess.run(f"{unu()} make -i {tmp_path / 'l.raw'} -t ushort -s 50 40 30 -sp 0.25 0.25 0.75 -en little"
                          f" | {unu()} save -f nrrd -e gzip -o {tmp_path / 'l.nrrd'}", shell=True, capture_output=True)
    assert made.returncode == 0, made.stderr
    assert b"encoding: gzip" in (tmp_path / "l.nrrd").read_bytes()[:400]
    run = tools("split", tmp_path / "l.nrrd", tmp_path / "out")
    assert run.returncode == 0, run.stderr
    _, rows = read_index(tmp_path / "out" / "index.csv")
    counts = dict(zip(*np.unique(labels[labels > 0], return_counts=True)))
    assert {int(r["label"]): int(r["voxels"]) for r in rows} == counts
    assert {(r["voxel_size_x"], r["voxel_size_y"], r["voxel_size_z"]) for r in rows} == {("0.25", "0.25", "0.75")}

    run = tools("merge", tmp_path / "out" / "index.csv", tmp_path / "back.nrrd")
    assert run.returncode == 0, run.stderr
    head = subprocess.run([unu(), "head", tmp_path / "back.nrrd"], capture_output=True, text=True)
    assert "sizes: 50 40 30" in head.stdout and "spacings: 0.25 0.25 0.75" in head.stdout, head.stdout
    minmax = subprocess.run([unu(), "minmax", tmp_path / "back.nrrd"], capture_output=True, text=True)
    assert f"min: {labels.min()}" in minmax.stdout and f"max: {labels.max()}" in minmax.stdout, minmax.stdout
    raw = subprocess.run(f"{unu()} save -f nrrd -e raw -en little -i {tmp_path / 'back.nrrd'} | {unu()} data -",
                         shell=True, capture_output=True)
    assert raw.returncode == 0, raw.stderr
    assert raw.stdout == labels.astype("<u2").tobytes()

    grain = tmp_path / "out" / rows[0]["file"]
    assert tools("export", grain, tmp_path / "g.nrrd").returncode == 0
    head = subprocess.run([unu(), "head", tmp_path / "g.nrrd"], capture_output=True, text=True)
    assert "spacings: 0.25 0.25 0.75" in head.stdout, head.stdout
    minmax = subprocess.run([unu(), "minmax", tmp_path / "g.nrrd"], capture_output=True, text=True)
    assert "min: 0" in minmax.stdout and "max: 255" in minmax.stdout, minmax.stdout


def test_python_split_and_merge_are_the_programs(tmp_path, rng):
    labels = labelled_volume(rng, shape=(40, 50, 60), cuts=(4, 3, 5))
    labels.astype("<u2").tofile(tmp_path / "l.raw")
    run = tools("split", tmp_path / "l.raw", tmp_path / "prog", "--size", "60,50,40", "--type", "uint16",
                "--margin", "1", "--min-voxels", "500", "--spacing", "0.5,0.5,2", "--unit", "um")
    assert run.returncode == 0, run.stderr
    result = tarvo.split(labels, tmp_path / "py", spacing=(0.5, 0.5, 2), unit="um", margin=1, min_voxels=500)
    prog = (tmp_path / "prog" / "index.csv").read_text()
    assert (tmp_path / "py" / "index.csv").read_text() == prog
    assert len(result.rows) == len(prog.splitlines()) - 2 > 0 and result.refused == []
    for r in result.rows:
        assert (tmp_path / "py" / r["file"]).read_bytes() == (tmp_path / "prog" / r["file"]).read_bytes()
    kept = np.isin(labels, [int(r["label"]) for r in result.rows])
    assert np.array_equal(tarvo.merge(tmp_path / "prog" / "index.csv"), np.where(kept, labels, 0))
    with pytest.raises(ValueError):
        tarvo.split(np.zeros((3, 3, 3), np.uint8), tmp_path / "none")


def test_tifffile_stacks_split_like_numpy_and_tarvo_tiffs_read_back(tmp_path, rng):
    tifffile = pytest.importorskip("tifffile")
    labels = labelled_volume(rng, shape=(20, 40, 50), cuts=(3, 4, 3))
    tifffile.imwrite(tmp_path / "ij.tif", labels, imagej=True, resolution=(1 / 0.5, 1 / 0.5),
                     metadata={"spacing": 2.0, "unit": "um"})
    tifffile.imwrite(tmp_path / "tiled.tif", labels, tile=(16, 16), compression="zlib")
    for z, page in enumerate(labels):
        tifffile.imwrite(tmp_path / f"slice_{z:03d}.tif", page, rowsperstrip=7)
    indices = {}
    for name in ("ij.tif", "tiled.tif", "slice_%03d.tif"):
        run = tools("split", tmp_path / name, tmp_path / ("out-" + name[:5]))
        assert run.returncode == 0, (name, run.stderr)
        first, rows = read_index(tmp_path / ("out-" + name[:5]) / "index.csv")
        assert first == "# tarvo-tools split: volume 50 40 20 uint16", name
        indices[name] = [{k: v for k, v in r.items() if not k.startswith("voxel_size") and k != "unit"} for r in rows]
    assert indices["ij.tif"] == indices["tiled.tif"] == indices["slice_%03d.tif"]
    _, rows = read_index(tmp_path / "out-ij.ti" / "index.csv")
    counts = dict(zip(*np.unique(labels[labels > 0], return_counts=True)))
    assert {int(r["label"]): int(r["voxels"]) for r in rows} == counts
    assert (rows[0]["voxel_size_x"], rows[0]["voxel_size_y"], rows[0]["voxel_size_z"], rows[0]["unit"]) == ("0.5", "0.5", "2", "um")

    run = tools("merge", tmp_path / "out-ij.ti" / "index.csv", tmp_path / "back.tif")
    assert run.returncode == 0, run.stderr
    with tifffile.TiffFile(tmp_path / "back.tif") as t:
        assert np.array_equal(t.asarray(), labels)
        assert np.array_equal(np.stack([p.asarray() for p in t.pages]), labels)
        assert t.pages[0].tags["XResolution"].value == (2, 1)
        assert t.imagej_metadata["spacing"] == 2 and t.imagej_metadata["unit"] == "um"

    grain = tmp_path / "out-ij.ti" / rows[0]["file"]
    assert tools("export", grain, tmp_path / "g.tif").returncode == 0
    p = tarvo.read(grain)
    with tifffile.TiffFile(tmp_path / "g.tif") as t:
        g = t.asarray()
        assert g.shape == (p.dim,) * 3 and g.dtype == np.uint8
        assert np.array_equal(g, np.where(p.voxels, 255, 0))
        assert t.pages[0].tags["XResolution"].value == (2, 1) and t.imagej_metadata["spacing"] == 2


def test_import_takes_tiff_stacks_unu_nrrds_and_non_cubic_masks(tmp_path, rng):
    tifffile = pytest.importorskip("tifffile")
    mask = np.zeros((30, 40, 50), np.uint8)  # indices z, y, x
    mask[5:25, 8:30, 10:35] = rng.random((20, 22, 25)) < 0.7
    tifffile.imwrite(tmp_path / "m.tif", mask, imagej=True, resolution=(4, 4), metadata={"spacing": 0.5, "unit": "um"})
    for z, page in enumerate(mask):
        tifffile.imwrite(tmp_path / f"s{z:02d}.tif", page)
    nz = np.nonzero(mask)
    low = [int(c.min()) for c in nz]
    edge = max(int(c.max()) - l + 1 for c, l in zip(nz, low))
    expected = np.zeros((edge,) * 3, bool)
    expected[tuple(c - l for c, l in zip(nz, low))] = True
    for name in ("m.tif", "s%02d.tif"):
        run = tools("import", tmp_path / name, tmp_path / "m.3d")
        assert run.returncode == 0, run.stderr
        assert f"in a cube of edge {edge} at offset {low[2]} {low[1]} {low[0]} of the volume" in run.stderr
        assert np.array_equal(tarvo.read(tmp_path / "m.3d").voxels, expected), name
        # the ImageJ stack's size; the slices carry none, and leave no stale sidecar
        size = "[0.25, 0.25, 0.5]" if name == "m.tif" else "[1, 1, 1]"
        assert f'"voxel_size": {size}' in (tmp_path / "m.3d.json").read_text(), name

    labels = labelled_volume(rng, shape=(24, 24, 24), cuts=(2, 2, 2))
    labels.astype("<u2").tofile(tmp_path / "l.raw")
    made = subprocess.run(f"{unu()} make -i {tmp_path / 'l.raw'} -t ushort -s 24 24 24 -sp 0.005 0.005 0.005 -en little"
                          f" | {unu()} save -f nrrd -e gzip -o {tmp_path / 'l.nrrd'}", shell=True, capture_output=True)
    assert made.returncode == 0, made.stderr
    k = int(labels.max())
    run = tools("import", tmp_path / "l.nrrd", tmp_path / "k.3d", "--label", k)
    assert run.returncode == 0, run.stderr
    assert tarvo.read(tmp_path / "k.3d").voxels.sum() == (labels == k).sum()
    assert '"voxel_size": [0.005, 0.005, 0.005]' in (tmp_path / "k.3d.json").read_text()


@pytest.mark.parametrize("connectivity", [6, 26])
def test_mask_components_are_scipys_labels(tmp_path, rng, connectivity):
    mask = scipy.ndimage.binary_opening(rng.random((40, 45, 50)) < 0.35) | (rng.random((40, 45, 50)) < 0.02)
    structure = scipy.ndimage.generate_binary_structure(3, 1 if connectivity == 6 else 3)
    expected, count = scipy.ndimage.label(mask, structure)
    mask.astype(np.uint8).tofile(tmp_path / "m.raw")
    run = tools("split", tmp_path / "m.raw", tmp_path / "out", "--size", "50,45,40", "--type", "uint8",
                "--connectivity", connectivity)
    assert run.returncode == 0, run.stderr
    _, rows = read_index(tmp_path / "out" / "index.csv")
    assert [int(r["label"]) for r in rows] == list(range(1, count + 1))
    for r, sl in zip(rows, scipy.ndimage.find_objects(expected)):
        assert [int(r[f"offset_{a}"]) for a in "zyx"] == [s.start for s in sl]
        assert int(r["voxels"]) == (expected[sl] == int(r["label"])).sum()
    run = tools("merge", tmp_path / "out" / "index.csv", tmp_path / "back.nrrd")
    assert run.returncode == 0, run.stderr
    text, data = (tmp_path / "back.nrrd").read_bytes().split(b"\n\n", 1)
    dtype = {b"uint8": "u1", b"uint16": "<u2", b"uint32": "<u4"}[text.split(b"type: ")[1].split(b"\n")[0]]
    assert np.array_equal(np.frombuffer(data, dtype).reshape(mask.shape), expected)


def test_signed_short_nrrd_imports_by_threshold_and_is_no_label_volume(tmp_path, rng):
    grey = rng.integers(-1000, 2000, (20, 21, 22)).astype(np.int16)  # a CT in Hounsfield units
    grey.astype(">i2").tofile(tmp_path / "g.raw")
    made = subprocess.run(f"{unu()} make -i {tmp_path / 'g.raw'} -t short -s 22 21 20 -sp 0.1 0.1 0.1 -en big"
                          f" | {unu()} save -f nrrd -e gzip -o {tmp_path / 'g.nrrd'}", shell=True, capture_output=True)
    assert made.returncode == 0, made.stderr
    assert b"type: short" in (tmp_path / "g.nrrd").read_bytes()[:300]
    run = tools("import", tmp_path / "g.nrrd", tmp_path / "g.3d", "--threshold", 1200)
    assert run.returncode == 0, run.stderr
    assert f"{(grey < 0).sum()} negative values read as 0" in run.stderr
    assert tarvo.read(tmp_path / "g.3d").voxels.sum() == (grey >= 1200).sum()
    run = tools("split", tmp_path / "g.nrrd", tmp_path / "out")
    assert run.returncode == 1 and "negative values: labels are 0 (background) or more" in run.stderr
    assert not (tmp_path / "out").exists()


def test_damaged_tiff_stacks_fail_clearly_and_write_nothing(tmp_path):
    tifffile = pytest.importorskip("tifffile")
    labels = np.arange(20 * 30 * 40, dtype=np.uint16).reshape(20, 30, 40) % 7
    tifffile.imwrite(tmp_path / "whole.tif", labels)
    data = (tmp_path / "whole.tif").read_bytes()
    (tmp_path / "cut.tif").write_bytes(data[: len(data) // 2])
    tifffile.imwrite(tmp_path / "float.tif", labels.astype(np.float32))
    tifffile.imwrite(tmp_path / "s0.tif", labels[0])
    tifffile.imwrite(tmp_path / "s1.tif", labels[1, :20])  # a slice of another size
    for name, message in [("cut.tif", "1 readable pages, but its description says 20"), ("float.tif", "format 3"), ("s%d.tif", "s1.tif' page 1 is 40 x 20 of 16 bits, unlike the first")]:
        run = tools("split", tmp_path / name, tmp_path / "out")
        assert run.returncode == 1, (name, run.stderr)
        assert message in run.stderr, (name, run.stderr)
        assert not (tmp_path / "out").exists(), name


def test_import_reads_detached_data_only_from_the_headers_folder(tmp_path):
    (tmp_path / "h").mkdir()
    (tmp_path / "secret.raw").write_bytes(bytes([1]) * 8)
    (tmp_path / "h" / "ok.raw").write_bytes(bytes([1]) * 8)
    (tmp_path / "h" / "away.nhdr").write_text("NRRD0004\ntype: uint8\ndimension: 3\nsizes: 2 2 2\nencoding: raw\n"
                                              "data file: ../secret.raw\n")
    (tmp_path / "h" / "ok.nhdr").write_text("NRRD0004\ntype: uint8\ndimension: 3\nsizes: 2 2 2\nencoding: raw\n"
                                            "data file: ok.raw\n")
    run = tools("import", tmp_path / "h" / "away.nhdr", tmp_path / "a.3d")
    assert run.returncode == 1 and "outside the header's folder" in run.stderr, run.stderr
    assert not (tmp_path / "a.3d").exists()
    run = tools("import", tmp_path / "h" / "ok.nhdr", tmp_path / "o.3d")
    assert run.returncode == 0, run.stderr
    assert tarvo.read(tmp_path / "o.3d").voxels.sum() == 8


def test_cut_carries_the_voxel_size_beside_the_particle(tmp_path):
    (tmp_path / "g.raw").write_bytes(bytes([1]) * 64)
    assert tools("import", tmp_path / "g.raw", tmp_path / "g.3d", "--spacing", "0.5,0.5,2", "--unit", "um").returncode == 0
    assert tools("cut", tmp_path / "g.3d", tmp_path / "c.3d", "1", "1", "99999").returncode == 0
    (tmp_path / "d").mkdir()
    assert tools("cut", "--out-dir", tmp_path / "d", "1", "1", "99999", tmp_path / "g.3d").returncode == 0
    for out in (tmp_path / "c.3d.json", tmp_path / "d" / "g.3d.json"):
        assert '"voxel_size": [0.5, 0.5, 2],\n  "unit": "um"' in out.read_text(), out
    head = subprocess.run([TOOLS_EXE, "export", tmp_path / "c.3d", tmp_path / "c.vtk"], capture_output=True)
    assert head.returncode == 0 and b"\nSPACING 0.5 0.5 2\n" in (tmp_path / "c.vtk").read_bytes()


def test_read_and_write_volume_agree_with_tifffile_and_unu(tmp_path, rng):
    tifffile = pytest.importorskip("tifffile")
    labels = labelled_volume(rng, shape=(12, 30, 40), cuts=(2, 3, 3))  # uint16, indices z, y, x

    tarvo.write_volume(tmp_path / "l.tif", labels, spacing=(0.5, 0.5, 2), unit="um")
    with tifffile.TiffFile(tmp_path / "l.tif") as t:
        assert np.array_equal(t.asarray(), labels)
        assert t.imagej_metadata["spacing"] == 2 and t.imagej_metadata["unit"] == "um"
    back = tarvo.read_volume(tmp_path / "l.tif")
    assert back.labels.dtype == np.uint16 and np.array_equal(back.labels, labels)
    assert back.spacing == (0.5, 0.5, 2) and back.unit == "um"
    tifffile.imwrite(tmp_path / "t.tif", labels.astype(np.uint32), tile=(16, 16), compression="zlib")
    back = tarvo.read_volume(tmp_path / "t.tif")
    # tifffile writes resolution tags of 1 pixel a unit: a voxel size of 1 without a unit
    assert back.labels.dtype == np.uint32 and np.array_equal(back.labels, labels)
    assert back.spacing == (1, 1, 1) and back.unit == ""

    tarvo.write_volume(tmp_path / "l.nrrd", labels, spacing=0.25)
    head = subprocess.run([unu(), "head", tmp_path / "l.nrrd"], capture_output=True, text=True)
    assert "sizes: 40 30 12" in head.stdout and "spacings: 0.25 0.25 0.25" in head.stdout, head.stdout
    raw = subprocess.run(f"{unu()} save -f nrrd -e raw -en little -i {tmp_path / 'l.nrrd'} | {unu()} data -",
                         shell=True, capture_output=True)
    assert raw.returncode == 0, raw.stderr
    assert raw.stdout == labels.astype("<u2").tobytes()
    labels.astype(">u2").tofile(tmp_path / "b.raw")
    made = subprocess.run(f"{unu()} make -i {tmp_path / 'b.raw'} -t ushort -s 40 30 12 -sp 1 1 3 -en big"
                          f" | {unu()} save -f nrrd -e gzip -o {tmp_path / 'b.nrrd'}", shell=True, capture_output=True)
    assert made.returncode == 0, made.stderr
    back = tarvo.read_volume(tmp_path / "b.nrrd")
    assert np.array_equal(back.labels, labels) and back.spacing == (1, 1, 3)

    with pytest.raises(ValueError, match="reads TIFF stacks and NRRD"):
        tarvo.read_volume(tmp_path / "b.raw")
    with pytest.raises(ValueError, match="uint8, uint16 or uint32"):
        tarvo.write_volume(tmp_path / "s.nrrd", labels.astype(np.int16))
    with pytest.raises(ValueError, match="not a plain word"):
        tarvo.write_volume(tmp_path / "s.nrrd", labels, spacing=1, unit="a b")
    (tmp_path / "cut.nrrd").write_bytes((tmp_path / "l.nrrd").read_bytes()[:-10])
    with pytest.raises(ValueError, match="cut.nrrd"):
        tarvo.read_volume(tmp_path / "cut.nrrd")
    assert not (tmp_path / "s.nrrd").exists()
