"""A particle of the largest edge, 1290, in the packed form: read, cut in place and written from
one bitmap (256 MiB), the bytes the program writes."""

import subprocess
import sys

import tarvo
from conftest import TOOLS_EXE, program_cut

SCRIPT = """
import sys, tarvo
p = tarvo.read(sys.argv[1], packed=True)
v = tarvo.cut(p, "300", "-400", "99999", out=p.voxels)
assert v is p.voxels
tarvo.write(sys.argv[2], p)
print(next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmHWM:")))
"""


def test_edge_1290_packed_fits_its_bitmap(tmp_path):
    source = tmp_path / "sphere.3d"
    made = subprocess.run([TOOLS_EXE, "make", "sphere", "1290", str(source)], capture_output=True, text=True)
    assert made.returncode == 0, made.stderr
    run = subprocess.run([sys.executable, "-c", SCRIPT, str(source), str(tmp_path / "python.3d")],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert (tmp_path / "python.3d").read_bytes() == program_cut(source, tmp_path / "program.3d", "300", "-400", "99999")

    bitmap = (tarvo.MAX_DIM**3 + 7) // 8
    peak = int(run.stdout)
    # The interpreter and numpy take about 30 MiB; a second bitmap would take 256 MiB more.
    assert peak < bitmap + 64 * 2**20, f"peak {peak / 2**20:.0f} MiB, bitmap {bitmap / 2**20:.0f} MiB"
