"""The extension module tarvo._tarvo: the binding and the library's sources (src/teleso,
src/geometry), compiled as C++20 with -O2. The plane sum depends on IEEE extended rounding, so no
option that relaxes floating point arithmetic is ever added here."""

from glob import glob

from pybind11.setup_helpers import ParallelCompile, Pybind11Extension
from setuptools import setup

# Two compile jobs unless NPY_NUM_BUILD_JOBS says otherwise.
ParallelCompile("NPY_NUM_BUILD_JOBS", default=2).install()

sources = sorted(glob("src/python/*.cpp") + glob("src/teleso/*.cpp") + glob("src/geometry/*.cpp"))

module = Pybind11Extension(
    "tarvo._tarvo",
    sources,
    include_dirs=["src"],
    cxx_std=20,
    extra_compile_args=["-O2", "-fno-fast-math"],
    extra_link_args=["-pthread"],
)

# The build folder of setuptools is kept apart from CMake's build/.
setup(ext_modules=[module], options={"build": {"build_base": "build-pip"}})
