"""The native part of the gainscan package is built by the project's CMake
build (python/CMakeLists.txt); this build_ext runs it for pip and copies the
module into the wheel. Everything else is declared in pyproject.toml."""

import os
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeExtension(Extension):
    def __init__(self, name: str) -> None:
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        build = Path(self.build_temp).resolve() / "cmake"
        jobs = os.environ.get("GAINSCAN_BUILD_JOBS", "2")
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DGAINSCAN_TESTS=OFF", "-DGAINSCAN_BENCH=OFF",
            "-DGAINSCAN_PYTHON=ON", f"-DGAINSCAN_PYTHON_EXECUTABLE={sys.executable}",
        ]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "_gainscan", "-j", jobs], check=True)
        built = sorted((build / "python" / "gainscan").glob("_gainscan*.so"))
        if not built:
            sys.exit(
                "gainscan: CMake did not build the native module (see its warning above: "
                f"numpy and pybind11 must be importable by {sys.executable})"
            )
        target.parent.mkdir(parents=True, exist_ok=True)
        self.copy_file(str(built[0]), str(target))


setup(
    ext_modules=[CMakeExtension("gainscan._gainscan")],
    cmdclass={"build_ext": CMakeBuild},
    # Not build/, which is where the project's own CMake build usually lives.
    options={"build": {"build_base": "build-pip"}, "egg_info": {"egg_base": "build-pip"}},
)
