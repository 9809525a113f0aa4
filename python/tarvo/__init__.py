"""Particles of shape form files (*.3d) as numpy arrays, with the tarvo program's exact cut.

    p = tarvo.read("grain.3d")                  # a Particle
    v = tarvo.cut(p.voxels, "1", "1", "99999")  # what tarvo clears, decided as tarvo decides
    tarvo.write("out.3d", v)                    # the bytes tarvo writes for that body

Two forms of a particle's voxels are taken everywhere:

* voxels: shape (dim, dim, dim), indexed [z, y, x], dtype bool (one byte a voxel). Integer arrays
  are accepted when they hold only 0 and 1 (another value raises ValueError naming it); cut() into
  an integer `out` writes 0 and 1.
* packed: dtype uint8, shape (ceil(dim**3 / 8),): voxel x + dim*(y + dim*z) is bit i % 8 of byte
  i // 8, which is numpy.packbits(voxels.ravel(), bitorder=BITORDER) with BITORDER = "little".
  The edge follows from the length, except for one byte (edge 1 or 2): pass dim= then.

Functions return their result in the form of their input. Nothing loops over voxels in Python.
Packed arrays made here (read(..., packed=True), pack(), cut(), beyond()) are views of the
library's own bitmap block and are used in place, so a packed particle of edge 1290 needs its 256
MiB once: read(path, packed=True), cut(v, ..., out=v), write(path, v). Any other packed array is
copied once per call. C-contiguous bool and one-byte integer arrays are converted eight voxels a
step; other layouts and element sizes work too, element by element.
"""

import decimal
import math
import numbers
import operator
import os
from collections import namedtuple

import numpy as np

from . import _tarvo
from ._tarvo import FormatError

__all__ = [
    "BITORDER", "MAX_DIM", "PARTS", "FormatError", "Header", "Measurement", "Mesh", "Particle", "Properties",
    "Section", "Stream", "beyond", "cut", "measure", "mesh", "pack", "properties", "read", "section", "unpack",
    "write", "write_mesh", "split", "merge", "SplitResult", "read_volume", "write_volume", "LabelVolume",
]

BITORDER = "little"
MAX_DIM = _tarvo.MAX_DIM

FormatError.__module__ = __name__
FormatError.__doc__ = ("A file tarvo refuses to read (no edge length, an edge outside 0 to 1290); "
                       "the message is the program's.")

Header = namedtuple("Header", "size dim x_min x_max y_min y_max z_min z_max x_mean y_mean z_mean voxels slot")
Header.__doc__ = """The 13 header fields as stored (None for a field the file ends before)."""

Stream = namedtuple("Stream", "code_bytes surplus_bytes voxels_coded voxels_needed ends_early file_bytes")
Stream.__doc__ = """The voxel stream as read: bytes of code used, bytes after the last code needed,
voxels the stream delivered of the dim**3 needed, whether it ended before the last voxel (the rest
reads as empty), and the bytes of the whole file."""

Measurement = namedtuple("Measurement", "count min max mean center")
Measurement.__doc__ = """tarvo's measurements, each position an (x, y, z) tuple: the number of set
voxels, the bounding box, the mean position truncated towards zero, and the centre (the middle of
the bounding box, rounded down), which the cut is measured from. An empty particle has min
(dim-1,)*3, max and mean (0, 0, 0)."""


Mesh = namedtuple("Mesh", "vertices faces parts")
Mesh.__doc__ = """A triangle mesh of a particle's surface: vertices (V, 3) float32, the x, y, z of each
in voxel units (voxel v[z, y, x] is the unit cube around the point (x, y, z)); faces (F, 3) int64,
three vertex indices a triangle, counter-clockwise seen from outside; parts (F,) uint8, the part of
each triangle: 0 the particle's surface, 1 the face of the cut, 2 the wall of an enclosed pore
(the triangles come grouped in that order). trimesh.Trimesh(m.vertices, m.faces) and
meshio.Mesh(m.vertices, [("triangle", m.faces)]) take it as it is."""

PARTS = ("surface", "cut", "pores")

Properties = namedtuple("Properties", "volume surface_area equivalent_diameter sphericity centroid moments axes "
                                     "enclosed_voxels enclosed_porosity euler_number")
Properties.__doc__ = """The figures of a particle's shape, in voxel units (docs/quantities.md defines each): the
number of set voxels, the surface area (faces between set and empty voxels, each weighted by the
normal there), the diameter of the sphere of that volume, sphericity, the centroid (x, y, z), the
eigenvalues of the covariance of the voxel positions (largest first) and their unit axes, the empty
voxels with no 6-connected path to the grid's border and their share of the filled particle, and
the Euler number of the set voxels (26-connectivity). NaN where an empty particle has none."""


Section = namedtuple("Section", "pixels origin u v face_area solid_area pore_area section_porosity pore_sizes "
                               "perimeter equivalent_diameter")
Section.__doc__ = """The face a plane cuts through a particle (docs/quantities.md): pixels, a square uint8
image (0 outside, 1 solid, 2 pore) whose pixel [j, i] is sampled from the voxel nearest to
origin + (i - h) u + (j - h) v, h = width // 2; the areas in pixels (voxel faces), the section
porosity, the sizes of the 4-connected pores (largest first), the perimeter (face edges times
pi/4) and the diameter of the disc of the face's area."""


class Particle:
    """A particle as read from a file: voxels (bool, or packed when read with packed=True), its
    edge dim, the header as stored and the facts of its voxel stream."""

    __slots__ = ("voxels", "dim", "header", "stream", "packed")

    def __init__(self, voxels, dim, header, stream, packed):
        self.voxels = voxels
        self.dim = dim
        self.header = header
        self.stream = stream
        self.packed = packed

    def __repr__(self):
        form = "packed" if self.packed else "voxels"
        return f"<tarvo.Particle dim={self.dim} {form} {self.stream.file_bytes} bytes>"


def _voxels(voxels, dim):
    if isinstance(voxels, Particle):
        return voxels.voxels, voxels.dim if dim is None else dim
    if isinstance(voxels, (str, bytes, os.PathLike)):
        raise TypeError(f"voxels must be an array or a Particle, not the path {voxels!r}: use tarvo.read(path)")
    return voxels, None if dim is None else operator.index(dim)


def _length(value):
    """A cut length as the library takes it: a str (made the bytes of an argument, as os.fsencode
    makes them) or bytes is read like the program's arguments (atof, then single precision) but
    must be wholly a number (ValueError otherwise: "l", "1,5", " 1"); a real number is made a
    float, then rounded to single precision."""
    if isinstance(value, (str, bytes)):
        return _argument(value)
    if isinstance(value, numbers.Real):
        return float(value)
    raise TypeError(f"a cut length is a str or a real number (or bytes); got {type(value).__name__}")


def _argument(text):
    """The bytes of a path or a length, refused with a NUL in them as open() refuses it (the
    library would read only up to it)."""
    data = os.fsencode(text)
    if b"\0" in data:
        raise ValueError("embedded null byte")
    return data


def _numbers(values, what):
    """Three coordinates: real numbers, or texts that are wholly numbers as cut lengths are."""
    values = tuple(values)
    if len(values) != 3:
        raise ValueError(f"{what} must be three numbers (x, y, z); got {len(values)}")
    return tuple(_tarvo.number(v, what) if isinstance(v, str) else float(v) for v in values)


def read(path, packed=False):
    """Reads a shape form file as tarvo does. Raises FormatError for a file tarvo refuses and
    OSError (FileNotFoundError, ...) when the file cannot be read."""
    voxels, fields, slot, stream = _tarvo.load(_argument(path), bool(packed))
    values = list(fields) + [None] * (12 - len(fields)) + [slot]
    header = Header(*values)
    return Particle(voxels, header.dim, header, Stream(*stream), bool(packed))


def measure(voxels, *, dim=None):
    """tarvo's measurements of a particle (voxels, packed or a Particle) as a Measurement."""
    voxels, dim = _voxels(voxels, dim)
    count, lo, hi, mean, center = _tarvo.measure(voxels, dim)
    return Measurement(count, lo, hi, mean, center)


def _spacing(spacing):
    """A voxel size (x, y, z): one number for all three axes, or three; each positive and finite.
    None stays None (voxel units)."""
    if spacing is None:
        return None
    values = (spacing,) * 3 if isinstance(spacing, numbers.Real) else tuple(spacing)
    if len(values) != 3:
        raise ValueError(f"spacing must be one number or three (x, y, z); got {len(values)}")
    values = tuple(float(v) for v in values)
    if not all(math.isfinite(v) and v > 0 for v in values):
        raise ValueError(f"spacing must be positive and finite; got {values}")
    return values


def properties(voxels, *, dim=None, spacing=None):
    """The shape figures of a particle (voxels, packed or a Particle) as Properties. With
    spacing (the voxel's size along x, y, z, or one number for all three; note that x is the
    last axis of the voxels array), the figures are in its units: the volume (a float) times
    sx*sy*sz, the surface area of the scaled surface, the centroid, moments and axes of the
    positions scaled along each axis."""
    voxels, dim = _voxels(voxels, dim)
    return Properties(*_tarvo.properties(voxels, dim, _spacing(spacing)))


def section(voxels, normal, through=None, *, dim=None, spacing=None):
    """The face of the plane with this normal through `through` (x, y, z; default: the particle's
    centre, as tarvo takes it) as a Section. With spacing (x, y, z), the areas, pore sizes,
    perimeter and equivalent diameter are in its units; the plane, origin, u and v stay in the
    grid's coordinates."""
    voxels, dim = _voxels(voxels, dim)
    return Section(*_tarvo.section(voxels, _numbers(normal, "normal"),
                                   None if through is None else _numbers(through, "through"), dim,
                                   _spacing(spacing)))


def cut(voxels, x_cut=None, y_cut=None, z_cut=None, *, normal=None, through=None, keep="-", out=None, dim=None):
    """The particle with every voxel cleared that tarvo clears for these cut lengths, measured
    from the centre of the particle as given. A new array in the form of `voxels`, or `out` (any
    form and layout of the same edge; may be `voxels` itself, which cuts in place).

    With normal=(nx, ny, nz) instead of the lengths, the plane with that normal through
    `through` (x, y, z; default: the particle's centre) clears the + side of n . (p - c) (keep="-",
    the default) or the - side (keep="+"), decided exactly: the voxels of
    `tarvo-tools cut --normal NX NY NZ --through X Y Z --keep K`. Each number is an int, a float
    (its exact binary value) or a str in decimal ("0.1" is one tenth)."""
    voxels, dim = _voxels(voxels, dim)
    lengths = (x_cut, y_cut, z_cut)
    if normal is None:
        if any(v is None for v in lengths):
            raise TypeError("cut needs the three lengths x_cut, y_cut, z_cut, or normal=")
        return _tarvo.cut(voxels, _length(x_cut), _length(y_cut), _length(z_cut), out, dim)
    if any(v is not None for v in lengths):
        raise TypeError("cut takes the three lengths or normal=, not both")
    if keep not in ("+", "-"):
        raise ValueError(f"keep must be '+' or '-'; got {keep!r}")
    return _tarvo.cut_plane(voxels, _decimals(normal, "normal"),
                            None if through is None else _decimals(through, "through"), keep == "+", out, dim)


def _decimals(values, what):
    """Three numbers as exact decimal texts: an int as it is, a float as its exact binary value,
    a str as written (checked by the library)."""
    values = tuple(values)
    if len(values) != 3:
        raise ValueError(f"{what} must be three numbers (x, y, z); got {len(values)}")
    texts = []
    for v in values:
        if isinstance(v, str):
            texts.append(v)
        elif isinstance(v, numbers.Integral):
            texts.append(str(int(v)))
        elif isinstance(v, numbers.Real) and math.isfinite(float(v)):
            texts.append(str(decimal.Decimal(float(v))))
        else:
            raise ValueError(f"{what}: {v!r} is not a finite number")
    return tuple(texts)


def beyond(voxels, x_cut, y_cut, z_cut, *, dim=None):
    """The voxels that cut() clears: set in `voxels` and beyond the plane (so that
    cut(v, ...) == v & ~beyond(v, ...)). A new array in the form of `voxels`."""
    voxels, dim = _voxels(voxels, dim)
    return _tarvo.beyond(voxels, _length(x_cut), _length(y_cut), _length(z_cut), dim)


def write(path, voxels, *, dim=None):
    """Writes the particle as tarvo writes its output: the header carries the particle's
    measurements. The file is replaced whole through a temporary file beside it, or left as it
    was; OSError when it cannot be written."""
    voxels, dim = _voxels(voxels, dim)
    _tarvo.save(_argument(path), voxels, dim)


def pack(voxels, *, dim=None):
    """The packed form (a new array, used in place by the other functions)."""
    voxels, dim = _voxels(voxels, dim)
    return _tarvo.pack(voxels, dim)


def unpack(voxels, *, dim=None):
    """The bool form, shape (dim, dim, dim), indexed [z, y, x] (a new array)."""
    voxels, dim = _voxels(voxels, dim)
    return _tarvo.unpack(voxels, dim)


def mesh(voxels, *, smooth=False, cut=None, dim=None):
    """The closed, consistently oriented, manifold surface of the particle as a Mesh: the voxel
    boundary (every face between a set and an empty voxel, so its volume is the voxel count), or
    with smooth=True the same faces with their corners relaxed (surface nets with Taubin's
    smoothing, each corner within half a voxel of its place). cut=(x, y, z) cuts the particle
    first as cut() does; the faces facing voxels it cleared are part 1. Multiply the vertices by
    the voxel size for other units."""
    voxels, dim = _voxels(voxels, dim)
    lengths = None if cut is None else [_length(v) for v in cut]
    if lengths is not None and len(lengths) != 3:
        raise ValueError(f"cut must be three lengths (x, y, z); got {len(lengths)}")
    return Mesh(*_tarvo.mesh(voxels, bool(smooth), lengths, dim))


def write_mesh(path, mesh, *, ascii=False):
    """Writes a mesh (a Mesh, or any (vertices, faces[, parts]) of the same shapes) as STL, PLY or
    OBJ by the name's extension: binary STL and PLY unless ascii (OBJ is text); the parts as PLY
    face colours and OBJ groups (STL has none). Vertices are written in single precision. The file
    is replaced whole through a temporary file beside it, or left as it was; OSError when it
    cannot be written, ValueError for another extension or a face naming a missing vertex."""
    vertices, faces, *rest = mesh
    parts = rest[0] if rest else None
    _tarvo.write_mesh(os.fsencode(path), vertices, faces, parts, bool(ascii))


# ---- labelled volumes: the files and index of `tarvo-tools split`, and its merge ----

SplitResult = namedtuple("SplitResult", "index rows refused")
SplitResult.__doc__ = """What split wrote: the index's path, its rows (dicts of text, as in the CSV) and the
refused labels as (label, (extent x, y, z))."""

_INDEX_COLUMNS = ("label,file,offset_x,offset_y,offset_z,edge,voxels,min_x,min_y,min_z,max_x,max_y,max_z,"
                  "voxel_size_x,voxel_size_y,voxel_size_z,unit")
_LABEL_TYPES = {1: "uint8", 2: "uint16", 4: "uint32"}


def _number_text(v):
    """A float as the program writes it: the shortest text that reads back, no trailing ".0"."""
    t = repr(float(v))
    return t[:-2] if t.endswith(".0") else t


def _label_boxes(labels):
    """(label, voxel indices (z, y, x), min, max) of every nonzero label, in label order."""
    flat = labels.ravel()
    where = np.flatnonzero(flat)
    values = flat[where]
    order = np.argsort(values, kind="stable")
    where, values = where[order], values[order]
    names, starts = np.unique(values, return_index=True)
    ends = list(starts[1:]) + [len(values)]
    for k, a, b in zip(names, starts, ends):
        zyx = np.unravel_index(where[a:b], labels.shape)
        yield int(k), zyx, [int(c.min()) for c in zyx], [int(c.max()) for c in zyx]


def split(labels, outdir, spacing=None, *, unit="", margin=0, label=None, labels_range=None, min_voxels=1,
          drop_border=False):
    """`tarvo-tools split` on an array of labels (indices z, y, x; uint8, uint16 or uint32; 0 is
    background): one particle file per label in `outdir`, each the same bytes as the program's,
    and `outdir`/index.csv. spacing: X or (X, Y, Z); labels_range: (A, B). Refused labels (beyond
    the edge limit) are listed in the result, the others written. ValueError when no label is
    written or refused."""
    labels = np.asarray(labels)
    if labels.ndim != 3 or labels.dtype.itemsize not in _LABEL_TYPES or labels.dtype.kind != "u":
        raise ValueError("labels must be a 3-dimensional array of uint8, uint16 or uint32")
    if spacing is None:
        size, unit = (1.0, 1.0, 1.0), ""
    else:
        size = tuple(float(v) for v in (spacing if np.ndim(spacing) else (spacing,) * 3))
        if len(size) != 3 or not all(np.isfinite(v) and v > 0 for v in size):
            raise ValueError("spacing must be one or three positive numbers")
    lo, hi = (label, label) if label is not None else (labels_range or (1, 2 ** 32 - 1))
    nz, ny, nx = labels.shape
    boxes = list(_label_boxes(labels))
    largest = boxes[-1][0] if boxes else 0
    rows, refused = [], []
    os.makedirs(outdir, exist_ok=True)
    for k, zyx, low, high in boxes:
        count = len(zyx[0])
        if not lo <= k <= hi or count < min_voxels:
            continue
        if drop_border and (min(low) == 0 or high[0] == nz - 1 or high[1] == ny - 1 or high[2] == nx - 1):
            continue
        extent = [h - l + 1 for l, h in zip(low, high)]  # z, y, x
        edge = max(extent) + 2 * margin
        if edge > MAX_DIM:
            refused.append((k, tuple(reversed(extent))))
            continue
        grid = np.zeros((edge, edge, edge), bool)
        grid[tuple(c - l + margin for c, l in zip(zyx, low))] = True
        name = f"label_{k:0{len(str(largest))}d}.3d"
        write(os.path.join(outdir, name), grid)
        if spacing is not None:
            with open(os.path.join(outdir, name + ".json"), "w") as f:
                f.write("{\n  \"voxel_size\": [%s],\n  \"unit\": \"%s\",\n  \"source\": \"tarvo.split\"\n}\n"
                        % (", ".join(map(_number_text, size)), unit))
        values = ([k, name] + [l - margin for l in reversed(low)] + [edge, count] + list(reversed(low))
                  + list(reversed(high)) + [_number_text(v) for v in size] + [unit])
        rows.append(dict(zip(_INDEX_COLUMNS.split(","), map(str, values))))
    if not rows and not refused:
        raise ValueError("no label to split" + (": every voxel is 0" if not boxes else " among those selected"))
    index = os.path.join(outdir, "index.csv")
    with open(index, "w") as f:
        f.write(f"# tarvo-tools split: volume {nx} {ny} {nz} {_LABEL_TYPES[labels.dtype.itemsize]}\n")
        f.write(_INDEX_COLUMNS + "\n")
        for r in rows:
            f.write(",".join(r.values()) + "\n")
    return SplitResult(index, rows, refused)


LabelVolume = namedtuple("LabelVolume", "labels spacing unit")
LabelVolume.__doc__ = """A labelled volume read by read_volume: labels indexed [z, y, x] (uint8, uint16
or uint32 as stored), spacing the voxel size (x, y, z) or None when the file gives none, unit its
unit ("" when none)."""


def read_volume(path):
    """The labels of a TIFF stack (.tif, .tiff: a multi-page file or a slice pattern such as
    slice_%04d.tif) or an NRRD (.nrrd, .nhdr) as tarvo-tools split reads them, with the voxel
    size. ValueError for a volume split refuses (in its words)."""
    os.stat(path if "%" not in os.fspath(path) else os.path.dirname(os.fspath(path)) or ".")
    labels, spacing, unit = _tarvo.read_volume(_argument(path))
    return LabelVolume(labels, spacing, unit)


def write_volume(path, array, spacing=None, unit=None):
    """Writes labels indexed [z, y, x] (uint8, uint16 or uint32) as tarvo-tools merge writes them:
    .tif/.tiff a multi-page TIFF with resolution tags and ImageJ's description, .nrrd an NRRD with
    its spacings and units; replaced whole or left as it was. spacing: X or (X, Y, Z); unit (a
    plain word such as um) needs a spacing."""
    labels = np.asarray(array)
    if labels.ndim != 3 or labels.dtype.itemsize not in _LABEL_TYPES or labels.dtype.kind != "u":
        raise ValueError("labels must be a 3-dimensional array of uint8, uint16 or uint32")
    labels = np.ascontiguousarray(labels, labels.dtype.newbyteorder("<"))
    if spacing is None:
        if unit:
            raise ValueError("a unit needs a spacing")
        size = None
    else:
        size = tuple(float(v) for v in (spacing if np.ndim(spacing) else (spacing,) * 3))
        if len(size) != 3 or not all(np.isfinite(v) and v > 0 for v in size):
            raise ValueError("spacing must be one or three positive numbers")
    _tarvo.write_volume(_argument(path), labels, size, unit or "")


def merge(index):
    """`tarvo-tools merge`: the labelled volume (indices z, y, x) an index of split describes, each
    set voxel of its particles (cut or not) given the particle's label."""
    with open(index) as f:
        first = f.readline().split()
        if first[:4] != ["#", "tarvo-tools", "split:", "volume"] or len(first) != 8:
            raise ValueError(f"{index!r} is no index of tarvo-tools split")
        nx, ny, nz = map(int, first[4:7])
        dtype = {v: k for k, v in _LABEL_TYPES.items()}[first[7]]
        columns = f.readline().strip().split(",")
        rows = [dict(zip(columns, line.rstrip("\n").split(","))) for line in f if line.strip()]
    volume = np.zeros((nz, ny, nx), f"<u{dtype}")
    folder = os.path.dirname(index)
    for r in rows:
        p = read(os.path.join(folder, r["file"]))
        z, y, x = np.nonzero(p.voxels)
        z, y, x = z + int(r["offset_z"]), y + int(r["offset_y"]), x + int(r["offset_x"])
        inside = (z >= 0) & (z < nz) & (y >= 0) & (y < ny) & (x >= 0) & (x < nx)
        volume[z[inside], y[inside], x[inside]] = int(r["label"])
    return volume
