"""Many particles in one run: the rows of one measure run over 1,000 files (named on the command
line and in a file list, one of them unreadable) equal those of 1,000 single runs; cut --out-dir,
table and section likewise over 200."""

import csv
import io
import subprocess

import numpy as np

import tarvo
from conftest import TOOLS_EXE, blob


def tools(*args, status=0):
    run = subprocess.run([TOOLS_EXE, *map(str, args)], capture_output=True, text=True)
    assert run.returncode == status, run.stderr
    return run.stdout


def rows(text):
    return list(csv.reader(io.StringIO(text)))


def make_files(tmp_path, rng, count):
    folder = tmp_path / "in"
    folder.mkdir()
    files = []
    for k in range(count):
        files.append(folder / f"p{k:04d}.3d")
        tarvo.write(files[-1], blob(rng, int(rng.integers(0, 14))))
    files[count // 2].write_bytes(b"\x01\x02")  # refused: no edge length
    return files


def test_one_measure_run_over_a_thousand_files_equals_single_runs(tmp_path, rng):
    files = make_files(tmp_path, rng, 1000)
    listed = tmp_path / "list.txt"
    listed.write_text("".join(f"{f}\n" for f in files[400:]))
    batch = rows(tools("measure", "--csv", *files[:400], "--files", listed, status=1))
    assert len(batch) == 1001
    for k, f in enumerate(files):
        single = rows(tools("measure", "--csv", f, status=1 if k == 500 else 0))
        assert batch[0] == single[0] and batch[k + 1] == single[1], f
    assert "p0500.3d" in batch[501][-1] and batch[501][2] == ""


def test_cut_table_and_section_batches_equal_single_runs(tmp_path, rng):
    files = make_files(tmp_path, rng, 200)
    out = tmp_path / "out"
    out.mkdir()
    report = rows(tools("cut", "--out-dir", out, "--name", "{stem}-cut.3d", "--csv", "--normal", "1", "-2", "0.5",
                        *files, status=1))
    for k, f in enumerate(files):
        target = out / f"{f.stem}-cut.3d"
        if k == 100:
            assert not target.exists() and "p0100.3d" in report[k + 1][-1]
            continue
        tools("cut", f, tmp_path / "single.3d", "--normal", "1", "-2", "0.5")
        assert target.read_bytes() == (tmp_path / "single.3d").read_bytes(), f
        assert report[k + 1][2] == str(int(tarvo.read(target).voxels.sum()))
    for sub, args in (("table", ["--measure"]), ("section", ["--random", "3", "--seed", "9"])):
        batch = rows(tools(sub, "--csv", *args, *files, status=1))
        single = [rows(tools(sub, "--csv", *args, f, status=1 if k == 100 else 0)) for k, f in enumerate(files)]
        assert batch == single[0][:1] + [r for s in single for r in s[1:]], sub


def test_cut_out_dir_refuses_two_inputs_of_one_name_and_keeps_the_program_lengths(tmp_path, rng):
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    for d in ("a", "b"):
        tarvo.write(tmp_path / d / "p.3d", blob(rng, 8))
    run = subprocess.run([TOOLS_EXE, "cut", "--out-dir", str(tmp_path), "1", "1", "1", str(tmp_path / "a" / "p.3d"),
                          str(tmp_path / "b" / "p.3d")], capture_output=True, text=True)
    assert run.returncode == 2 and "both be written" in run.stderr
    assert not (tmp_path / "p.3d").exists()


def test_cut_out_dir_over_old_outputs_replaces_each_whole_and_keeps_its_mode(tmp_path, rng):
    # The old files are let go by other threads after their renames: every output must still be
    # the new cut, keep the old file's mode, and leave no other file behind.
    files = make_files(tmp_path, rng, 120)
    out = tmp_path / "out"
    out.mkdir()
    tools("cut", "--out-dir", out, "--csv", "--normal", "1", "1", "0", *files, status=1)
    held = (out / "p0003.3d").open("rb")  # a reader of an old output keeps its bytes
    old = held.read()
    (out / "p0007.3d").chmod(0o640)
    tools("cut", "--out-dir", out, "--csv", "--normal", "1", "1", "0", "--keep", "+", *files, status=1)
    held.seek(0)
    assert held.read() == old
    held.close()
    expected = sorted(f.name for k, f in enumerate(files) if k != 60)
    assert sorted(p.name for p in out.iterdir()) == expected
    for k, f in enumerate(files):
        if k == 60:
            continue
        tools("cut", f, tmp_path / "single.3d", "--normal", "1", "1", "0", "--keep", "+")
        assert (out / f.name).read_bytes() == (tmp_path / "single.3d").read_bytes(), f
    assert (out / "p0007.3d").stat().st_mode & 0o777 == 0o640
