"""Packaging: scikit-build runs CMakeLists.txt, and the module it installs is
put at the top of site-packages (a single-module extension, not a package)."""

import glob
import os
import shutil

from skbuild import setup
from skbuild.command.build_ext import build_ext
from skbuild.constants import CMAKE_INSTALL_DIR


def _is_module(path):
    return os.path.basename(path).startswith("velmaro.") and path.endswith(".so")


def _readme():
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "README.md"), encoding="utf-8") as f:
        return f.read()


class build_ext_with_module(build_ext):
    """Copies the extension module from CMake's install tree into build_lib."""

    def run(self):
        super().run()
        for built in glob.glob(os.path.join(CMAKE_INSTALL_DIR(), "velmaro.*.so")):
            self.mkpath(self.build_lib)
            shutil.copy2(built, os.path.join(self.build_lib, os.path.basename(built)))


setup(
    name="velmaro",
    version="0.1.0",
    description="Native reader for Thermo Fisher .raw mass-spectrometer files",
    long_description=_readme(),
    long_description_content_type="text/markdown",
    license="MIT",
    python_requires=">=3.10",
    classifiers=[
        "Programming Language :: C++",
        "Programming Language :: Python :: 3 :: Only",
        "Programming Language :: Python :: Implementation :: CPython",
        "Operating System :: POSIX :: Linux",
        "Topic :: Scientific/Engineering :: Chemistry",
        "Typing :: Typed",
    ],
    py_modules=[],
    # Type checkers find the stubs of a top-level module in a stub-only
    # package named after it (a single file cannot hold a py.typed marker).
    packages=["velmaro-stubs"],
    package_data={"velmaro-stubs": ["__init__.pyi"]},
    # Without this hook scikit-build would install a top-level module as data.
    cmake_process_manifest_hook=lambda paths: [p for p in paths if not _is_module(p)],
    cmdclass={"build_ext": build_ext_with_module},
    zip_safe=False,
)
