"""tarvo-tools mesh through the readers of the field: VTK counts no open and no non-manifold edge on
either kind of mesh of a sphere, a grain with enclosed pores and a cut grain, and measures the
boundary's volume as the voxel count and the smooth one's volume and area as the sphere's; meshio
reads the same meshes and parts; bad inputs and outputs are refused as everywhere else."""

import math
import os
import subprocess

import numpy as np
import pytest

import tarvo
from conftest import SAMPLE, TOOLS_EXE

vtk_ply = pytest.importorskip("vtkmodules.vtkIOPLY")
vtk_core = pytest.importorskip("vtkmodules.vtkFiltersCore")
from vtkmodules.vtkIOGeometry import vtkOBJReader, vtkSTLReader  # noqa: E402
from vtkmodules.util.numpy_support import vtk_to_numpy  # noqa: E402

# The PLY colours of the parts: surface, cut face, pore walls.
SURFACE, CUT, PORE = (222, 190, 140), (120, 160, 215), (190, 90, 60)


def tools(*args):
    return subprocess.run([TOOLS_EXE, *map(str, args)], capture_output=True, text=True)


def mesh_file(source, out, *options):
    run = tools("mesh", source, out, *options)
    assert run.returncode == 0, run.stderr
    return out


@pytest.fixture(scope="module")
def particles(tmp_path_factory):
    """name -> (file, options of the mesh, voxels the mesh encloses)."""
    d = tmp_path_factory.mktemp("particles")
    made = {}
    for r in (10, 16):
        path = d / f"sphere{r}.3d"
        assert tools("make", "sphere", 2 * r + 6, path, "--radius", r).returncode == 0
        made[f"sphere{r}"] = (path, [], int(tarvo.read(path).voxels.sum()))
    porous = d / "porous.3d"
    assert tools("make", "grain", 64, porous, "--pores", 40).returncode == 0
    made["porous"] = (porous, [], int(tarvo.read(porous).voxels.sum()))
    kept = tarvo.cut(tarvo.read(SAMPLE).voxels, "1", "1", "99999")
    made["cut"] = (SAMPLE, ["--cut", "1", "1", "99999"], int(kept.sum()))
    return made


def read_ply(path):
    reader = vtk_ply.vtkPLYReader()
    reader.SetFileName(str(path))
    reader.Update()
    return reader.GetOutput()


def open_and_nonmanifold_edges(poly):
    edges = vtk_core.vtkFeatureEdges()
    edges.SetInputData(poly)
    edges.BoundaryEdgesOn()
    edges.NonManifoldEdgesOn()
    edges.FeatureEdgesOff()
    edges.ManifoldEdgesOff()
    edges.Update()
    return edges.GetOutput().GetNumberOfLines()


def volume_and_area(poly):
    mass = vtk_core.vtkMassProperties()
    mass.SetInputData(poly)
    mass.Update()
    return mass.GetVolume(), mass.GetSurfaceArea()


def face_colours(poly):
    return {tuple(int(c) for c in rgb) for rgb in vtk_to_numpy(poly.GetCellData().GetScalars())}


@pytest.mark.parametrize("smooth", [False, True], ids=["boundary", "smooth"])
@pytest.mark.parametrize("name", ["sphere10", "sphere16", "porous", "cut"])
def test_vtk_finds_the_mesh_closed_and_manifold(particles, tmp_path, name, smooth):
    source, options, voxels = particles[name]
    path = mesh_file(source, tmp_path / "m.ply", *options, *(["--smooth"] if smooth else []))
    poly = read_ply(path)
    assert poly.GetNumberOfCells() > 0
    assert open_and_nonmanifold_edges(poly) == 0
    volume, area = volume_and_area(poly)
    if not smooth:
        assert volume == pytest.approx(voxels, rel=1e-12, abs=1e-9)
    colours = face_colours(poly)
    assert (CUT in colours) == (name == "cut")
    assert (PORE in colours) == (name in ("porous", "cut"))  # the sample grain keeps pores the cut leaves closed
    if name.startswith("sphere") and smooth:
        r = int(name[len("sphere"):])
        assert abs(volume - voxels) / voxels < 0.01
        assert abs(area - 4 * math.pi * r * r) / (4 * math.pi * r * r) < 0.03


def test_the_formats_hold_the_same_mesh(particles, tmp_path):
    source, options, voxels = particles["cut"]
    ply = read_ply(mesh_file(source, tmp_path / "m.ply", *options))
    ascii_ply = read_ply(mesh_file(source, tmp_path / "a.ply", *options, "--ascii"))
    points = vtk_to_numpy(ply.GetPoints().GetData())
    assert np.array_equal(points, vtk_to_numpy(ascii_ply.GetPoints().GetData()))
    cells = vtk_to_numpy(ply.GetPolys().GetConnectivityArray())
    assert np.array_equal(cells, vtk_to_numpy(ascii_ply.GetPolys().GetConnectivityArray()))
    for option in ([], ["--ascii"]):
        reader = vtkSTLReader()
        reader.SetFileName(str(mesh_file(source, tmp_path / "m.stl", *options, *option)))
        reader.Update()
        assert reader.GetOutput().GetNumberOfCells() == ply.GetNumberOfCells()
        assert volume_and_area(reader.GetOutput())[0] == pytest.approx(voxels, rel=1e-12)
    obj = vtkOBJReader()
    obj.SetFileName(str(mesh_file(source, tmp_path / "m.obj", *options)))
    obj.Update()
    assert obj.GetOutput().GetNumberOfPoints() == ply.GetNumberOfPoints()
    assert obj.GetOutput().GetNumberOfCells() == ply.GetNumberOfCells()


def watertight(points, triangles):
    """Every edge in exactly two triangles, once each way (trimesh's is_watertight and
    is_winding_consistent), and every vertex used."""
    directed = np.concatenate([triangles[:, [0, 1]], triangles[:, [1, 2]], triangles[:, [2, 0]]])
    unique, counts = np.unique(directed, axis=0, return_counts=True)
    if counts.max() != 1:
        return False
    forward = {tuple(e) for e in unique}
    return all((b, a) in forward for a, b in forward) and len(np.unique(triangles)) == len(points)


@pytest.mark.parametrize("smooth", [False, True], ids=["boundary", "smooth"])
def test_meshio_reads_ply_and_obj_with_their_parts(particles, tmp_path, smooth):
    meshio = pytest.importorskip("meshio")
    source, options, _ = particles["porous"]
    options = [*options, *(["--smooth"] if smooth else [])]
    # meshio 7.0 reads a binary PLY's face properties as one value for the whole element, so it is
    # given the ASCII form; VTK reads the binary one above.
    ply = meshio.read(mesh_file(source, tmp_path / "m.ply", *options, "--ascii"))
    obj = meshio.read(mesh_file(source, tmp_path / "m.obj", *options))
    vtk = read_ply(mesh_file(source, tmp_path / "b.ply", *options))
    for mesh in (ply, obj):
        triangles = np.concatenate([block.data for block in mesh.cells if block.type == "triangle"])
        assert len(mesh.points) == vtk.GetNumberOfPoints()
        assert len(triangles) == vtk.GetNumberOfCells()
        assert watertight(mesh.points, triangles)
        assert np.allclose(mesh.points, vtk_to_numpy(vtk.GetPoints().GetData()))
    colours = {tuple(c) for c in zip(*(ply.cell_data[k][0] for k in ("red", "green", "blue")))}
    assert colours == {SURFACE, PORE}
    # One triangle block per OBJ group, in the order surface, pores.
    sizes = [len(block.data) for block in obj.cells]
    expected = [int(np.all(np.stack([ply.cell_data[k][0] for k in ("red", "green", "blue")], 1) == c, 1).sum())
                for c in (SURFACE, PORE)]
    assert sizes == expected
    assert "g pores" in (tmp_path / "m.obj").read_text()


def test_bad_inputs_and_outputs(particles, tmp_path):
    source = particles["sphere10"][0]
    bad = tmp_path / "short.3d"
    bad.write_bytes(b"\x01\x00")
    run = tools("mesh", bad, tmp_path / "out.ply")
    assert run.returncode == 1 and "is too short" in run.stderr
    assert not (tmp_path / "out.ply").exists()
    for name in ("out.vtk", "out.png", "out", "-"):
        run = tools("mesh", source, tmp_path / name if name != "-" else name)
        assert run.returncode == 2, name
        assert not (tmp_path / name).exists()
    assert tools("mesh", source, tmp_path / "o.ply", "--cut", "1", "2").returncode == 2
    assert tools("mesh", source, tmp_path / "o.ply", "--spacing", "0").returncode == 2
    # The input by another name is refused, and an output is replaced whole or not at all.
    link = tmp_path / "link.ply"
    os.symlink(source, link)
    run = tools("mesh", source, link)
    assert run.returncode == 1 and "are the same file" in run.stderr
    target = tmp_path / "kept.ply"
    target.write_bytes(b"old")
    run = tools("mesh", source, tmp_path / "no-such-dir" / "x.ply")
    assert run.returncode == 1 and "no-such-dir" in run.stderr
    mesh_file(source, target)
    assert target.read_bytes().startswith(b"ply\n")
    assert [p.name for p in tmp_path.iterdir() if p.name.endswith(".tmp")] == []


def test_spacing_scales_the_coordinates(particles, tmp_path):
    source = particles["sphere10"][0]
    plain = vtk_to_numpy(read_ply(mesh_file(source, tmp_path / "a.ply")).GetPoints().GetData())
    scaled = vtk_to_numpy(read_ply(mesh_file(source, tmp_path / "b.ply", "--spacing", "0.5,2,3")).GetPoints().GetData())
    assert np.array_equal(scaled, (plain * np.array([0.5, 2, 3], np.float32)).astype(np.float32))


def test_vti_reads_back_as_the_voxels_in_the_meshs_frame(particles, tmp_path):
    from vtkmodules.vtkIOXML import vtkXMLImageDataReader
    source = particles["porous"][0]
    assert tools("export", source, tmp_path / "p.vti").returncode == 0
    reader = vtkXMLImageDataReader()
    reader.SetFileName(str(tmp_path / "p.vti"))
    reader.Update()
    image = reader.GetOutput()
    voxels = tarvo.read(source).voxels
    n = voxels.shape[0]
    assert image.GetDimensions() == (n, n, n) and image.GetSpacing() == (1, 1, 1)
    values = vtk_to_numpy(image.GetPointData().GetScalars()).reshape(n, n, n)  # x fastest: [z, y, x]
    assert np.array_equal(values, np.where(voxels, 255, 0))
    # The mesh encloses the points of the set voxels, half a voxel out.
    z, y, x = np.nonzero(voxels)
    mesh = read_ply(mesh_file(source, tmp_path / "p.ply"))
    assert mesh.GetBounds() == pytest.approx((x.min() - 0.5, x.max() + 0.5, y.min() - 0.5, y.max() + 0.5,
                                              z.min() - 0.5, z.max() + 0.5))


PVPYTHON_SCRIPT = """
import sys
from paraview.simple import OpenDataFile
for path in sys.argv[1:]:
    source = OpenDataFile(path)
    source.UpdatePipeline()
    print(" ".join(repr(b) for b in source.GetDataInformation().GetBounds()))
"""


def test_paraview_opens_vti_and_ply_with_their_bounds(particles, tmp_path):
    import shutil
    pvpython = shutil.which("pvpython")
    if pvpython is None:
        pytest.skip("pvpython is not installed (Debian: python3-paraview)")
    source, options, _ = particles["cut"]
    assert tools("export", source, tmp_path / "g.vti").returncode == 0
    mesh_file(source, tmp_path / "g.ply", *options, "--smooth")
    script = tmp_path / "bounds.py"
    script.write_text(PVPYTHON_SCRIPT)
    run = subprocess.run([pvpython, "--force-offscreen-rendering", str(script), str(tmp_path / "g.vti"),
                          str(tmp_path / "g.ply")], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    vti, ply = ([float(v) for v in line.split()] for line in run.stdout.strip().splitlines()[-2:])
    n = tarvo.read(source).dim
    assert vti == [0, n - 1] * 3
    kept = tarvo.cut(tarvo.read(source).voxels, "1", "1", "99999")
    z, y, x = np.nonzero(kept)
    # The smooth surface lies within half a voxel of the boundary's box.
    box = [x.min() - 0.5, x.max() + 0.5, y.min() - 0.5, y.max() + 0.5, z.min() - 0.5, z.max() + 0.5]
    assert all(abs(a - b) <= 0.5 for a, b in zip(ply, box))


@pytest.mark.parametrize("smooth", [False, True], ids=["boundary", "smooth"])
def test_python_mesh_is_the_tools_mesh(particles, tmp_path, smooth):
    source, _, _ = particles["porous"]
    particle = tarvo.read(source)
    cut = ("1", "1", "99999")
    tool_options = ["--cut", *cut, *(["--smooth"] if smooth else [])]
    m = tarvo.mesh(particle, smooth=smooth, cut=cut)
    assert m.vertices.dtype == np.float32 and m.vertices.shape[1] == 3
    assert m.faces.dtype == np.int64 and m.faces.shape == (len(m.parts), 3)
    assert set(np.unique(m.parts)) == {0, 1, 2} and np.all(np.diff(m.parts.astype(int)) >= 0)
    assert watertight(m.vertices, m.faces)
    packed = tarvo.mesh(tarvo.read(source, packed=True).voxels, smooth=smooth, cut=(1.0, 1.0, 99999.0))
    for a, b in zip(m, packed):
        assert np.array_equal(a, b)
    for name, extra in (("m.ply", []), ("m.stl", []), ("m.obj", []), ("a.ply", ["--ascii"])):
        tarvo.write_mesh(tmp_path / f"py-{name}", m, ascii=bool(extra))
        expected = mesh_file(source, tmp_path / name, *tool_options, *extra).read_bytes()
        assert (tmp_path / f"py-{name}").read_bytes() == expected, name
    if not smooth:
        a, b, c = (m.vertices[m.faces[:, k]].astype(np.float64) for k in range(3))
        assert np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6 == tarvo.cut(particle.voxels, *cut).sum()


def test_write_mesh_refuses_what_it_cannot_write(tmp_path):
    v = np.zeros((20, 20, 20), bool)
    v[5:9, 5:9, 5:9] = True
    m = tarvo.mesh(v)
    with pytest.raises(ValueError, match="must end in .stl, .ply or .obj"):
        tarvo.write_mesh(tmp_path / "m.vtk", m)
    with pytest.raises(ValueError, match="names vertex"):
        tarvo.write_mesh(tmp_path / "m.ply", (m.vertices[:-1], m.faces))
    with pytest.raises(ValueError, match="not 0 .surface., 1 .cut. or 2 .pore."):
        tarvo.write_mesh(tmp_path / "m.ply", (m.vertices, m.faces, m.parts + 3))
    with pytest.raises(FileNotFoundError):
        tarvo.write_mesh(tmp_path / "no-such-dir" / "m.ply", m)
    with pytest.raises(ValueError, match="three lengths"):
        tarvo.mesh(v, cut=(1, 2))
    tarvo.write_mesh(tmp_path / "plain.obj", (m.vertices.astype(np.float64), m.faces.astype(np.int32)))
    assert "g surface" in (tmp_path / "plain.obj").read_text()
    assert list(tmp_path.iterdir()) == [tmp_path / "plain.obj"]
