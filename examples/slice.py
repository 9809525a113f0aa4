"""Cut a particle as tarvo does and look at the layer through its centre, before and after.

    /usr/bin/python3 examples/slice.py [INPUT.3d [OUTPUT_FOLDER]]

Reads INPUT.3d (default: the sample grain data/grain160.3d), cuts it by the plane of the cut
lengths 1 1 99999, and writes OUTPUT_FOLDER/slice.png (two pictures of the layer z = centre) and
OUTPUT_FOLDER/cut.3d (the bytes `tarvo INPUT.3d cut.3d 1 1 99999` writes). OUTPUT_FOLDER defaults
to the current folder.
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no window
import matplotlib.pyplot as plt  # noqa: E402

import tarvo  # noqa: E402

source = sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "data" / "grain160.3d"
folder = Path(sys.argv[2]) if len(sys.argv) > 2 else Path(".")

p = tarvo.read(source)
cx, cy, cz = tarvo.measure(p.voxels).center  # positions are (x, y, z); arrays are indexed [z, y, x]
v = tarvo.cut(p.voxels, "1", "1", "99999")

fig, axes = plt.subplots(1, 2, figsize=(8, 4.2), constrained_layout=True)
for ax, voxels, title in ((axes[0], p.voxels, "as read"), (axes[1], v, "cut 1 1 99999")):
    ax.imshow(voxels[cz], cmap="gray", origin="lower", interpolation="nearest")
    ax.plot(cx, cy, "r+", markersize=12)
    ax.set(title=f"{title}: layer z = {cz}", xlabel="x", ylabel="y")
fig.savefig(folder / "slice.png", dpi=100)

tarvo.write(folder / "cut.3d", v)
gone = int(p.voxels.sum() - v.sum())
print(f"{p.dim}^3 grid, centre ({cx}, {cy}, {cz}): the cut cleared {gone} of {int(p.voxels.sum())} voxels")
