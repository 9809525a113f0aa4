"""The Python package against the tarvo program on the same cut, side by side.

    PYTHONPATH=build/python /usr/bin/python3 bench/python_bench.py [--tarvo build/tarvo] [--rounds 9]

Makes the dense porous ball (edge 600, a ball filling the grid with 3% of its voxels cleared at
random; about 15 MB as a file) in a temporary folder, checks once that Python writes the program's
bytes, then times, in rounds that alternate which goes first:

  program          `tarvo ball.3d out.3d 1 1 99999`, the whole process
  python           read + cut + write in this process, bool voxels (and each stage)
  python packed    the same on the packed form, cut in place
  python process   a new interpreter that imports tarvo and does read + cut + write
  python start     a new interpreter that imports numpy and tarvo and measures one voxel

and reports medians, their ratios to the program's, and the median of the ratios round by round.
Then the peak memory (VmHWM, the most resident memory) of a packed read + cut + write of a sphere
of edge 1290 (made with tarvo-tools) against its bitmap.
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import tarvo

CUT = ("1", "1", "99999")
PROCESS_SCRIPT = """
import sys, tarvo
p = tarvo.read(sys.argv[1])
tarvo.write(sys.argv[2], tarvo.cut(p.voxels, "1", "1", "99999"))
"""
IMPORT_SCRIPT = "import numpy, tarvo; tarvo.measure(numpy.zeros((1, 1, 1), bool))"
PEAK_SCRIPT = """
import sys, tarvo
p = tarvo.read(sys.argv[1], packed=True)
tarvo.write(sys.argv[2], tarvo.cut(p, "300", "400", "99999", out=p.voxels))
print(next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmHWM:")))
"""


def porous_ball(edge, cleared, seed):
    """A ball filling the grid, `cleared` of its voxels emptied at random; made a layer at a time."""
    rng = np.random.default_rng(seed)
    v = np.empty((edge, edge, edge), bool)
    c = (edge - 1) / 2
    y, x = np.indices((edge, edge))
    for z in range(edge):
        v[z] = ((x - c) ** 2 + (y - c) ** 2 + (z - c) ** 2 <= (edge / 2) ** 2) & (rng.random((edge, edge)) >= cleared)
    return v


def seconds(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def python_stages(source, target, stages):
    t0 = time.perf_counter()
    p = tarvo.read(source)
    t1 = time.perf_counter()
    v = tarvo.cut(p.voxels, *CUT)
    t2 = time.perf_counter()
    tarvo.write(target, v)
    t3 = time.perf_counter()
    for name, t in (("read", t1 - t0), ("cut", t2 - t1), ("write", t3 - t2)):
        stages.setdefault(name, []).append(t)


def python_packed(source, target):
    p = tarvo.read(source, packed=True)
    tarvo.write(target, tarvo.cut(p, *CUT, out=p.voxels))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tarvo", default="build/tarvo")
    parser.add_argument("--tools", default="build/tarvo-tools")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--edge", type=int, default=600)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="tarvo-python-bench-") as folder:
        work = Path(folder)
        ball = work / "ball.3d"
        tarvo.write(ball, porous_ball(args.edge, 0.03, seed=1))
        program = [args.tarvo, str(ball), str(work / "program.3d"), *CUT]
        subprocess.run(program, check=True, stdout=subprocess.DEVNULL)
        python_packed(ball, work / "packed.3d")
        tarvo.write(work / "python.3d", tarvo.cut(tarvo.read(ball).voxels, *CUT))
        expected = (work / "program.3d").read_bytes()
        identical = all((work / name).read_bytes() == expected for name in ("python.3d", "packed.3d"))

        runs = {"program": lambda: subprocess.run(program, check=True, stdout=subprocess.DEVNULL),
                "python": lambda: python_stages(ball, work / "python.3d", stages),
                "python packed": lambda: python_packed(ball, work / "packed.3d"),
                "python process": lambda: subprocess.run(
                    [sys.executable, "-c", PROCESS_SCRIPT, str(ball), str(work / "process.3d")], check=True),
                "python start": lambda: subprocess.run([sys.executable, "-c", IMPORT_SCRIPT], check=True)}
        times = {name: [] for name in runs}
        stages = {}
        for r in range(args.rounds):
            order = list(runs) if r % 2 == 0 else list(reversed(runs))
            for name in order:
                times[name].append(seconds(runs[name]))

        print(f"dense porous ball, edge {args.edge}, {ball.stat().st_size / 1e6:.1f} MB, cut {' '.join(CUT)}; "
              f"{args.rounds} rounds, load average {open('/proc/loadavg').read().split()[0]}")
        print(f"outputs identical to the program's: {'yes' if identical else 'NO'}")
        base = statistics.median(times["program"])
        for name, values in times.items():
            m = statistics.median(values)
            # Each round's time against the program's in the same round, then their median.
            paired = statistics.median(v / p for v, p in zip(values, times["program"]))
            print(f"  {name:15s} median {m:.3f} s  (min {min(values):.3f}, max {max(values):.3f})  "
                  f"{m / base:.2f}x program, {paired:.2f}x round by round")
        print("  python stages: " + ", ".join(f"{k} {statistics.median(v):.3f} s" for k, v in stages.items()))

        sphere = work / "sphere.3d"
        subprocess.run([args.tools, "make", "sphere", "1290", str(sphere)], check=True)
        run = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(sphere), str(work / "sphere-out.3d")],
                             check=True, capture_output=True, text=True)
        peak, bitmap = int(run.stdout), (1290**3 + 7) // 8
        print(f"sphere of edge 1290, packed read + cut in place + write: peak memory {peak / 2**20:.0f} MiB, "
              f"bitmap {bitmap / 2**20:.0f} MiB")


if __name__ == "__main__":
    main()
