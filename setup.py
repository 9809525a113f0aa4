"""The extension module tarvo._tarvo: the binding and the library's sources, as cmake/sources.cmake
lists them for CMake (so that a new file or room cannot be left out here), compiled as C++20 with
-O2. The plane sum depends on IEEE extended rounding, so no option that relaxes floating point
arithmetic is ever added here."""

import re
import sys

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension
from setuptools import setup

# Two compile jobs unless NPY_NUM_BUILD_JOBS says otherwise.
ParallelCompile("NPY_NUM_BUILD_JOBS", default=2).install()

# The lists of cmake/sources.cmake the module is made of; the platform layer by the system.
ROOMS = ["PYTHON", "SYS", "BODY", "FORMAT", "CODEC", "FILES", "GEOMETRY", "QUANTITIES", "SHAPES", "MESH", "VOLUMES"]
PLATFORM = "SYS_PORTABLE" if sys.platform == "win32" else "SYS_POSIX"


def source_lists(path="cmake/sources.cmake"):
    """Each set(TARVO_<NAME>_SOURCES ...) of the file as NAME -> its paths."""
    text = open(path, encoding="utf-8").read()
    lists = {}
    for name, body in re.findall(r"set\(TARVO_(\w+)_SOURCES\s+([^)]*)\)", text):
        lists[name] = body.split()
    return lists


lists = source_lists()
sources = [s for room in ROOMS + [PLATFORM] for s in lists[room]]

module = Pybind11Extension(
    "tarvo._tarvo",
    sources,
    include_dirs=["src", "include", "/usr/include/eigen3"],  # Eigen: libeigen3-dev
    cxx_std=20,
    extra_compile_args=["-O2", "-fno-fast-math"],
    extra_link_args=["-pthread"],
    libraries=["tiff", "z"],  # read_volume, write_volume: libtiff-dev, zlib1g-dev
)

# The build folder of setuptools is kept apart from CMake's build/.
setup(ext_modules=[module], options={"build": {"build_base": "build-pip"}})
