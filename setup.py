"""Builds the Python module pairmend with the project's CMake build; nothing is downloaded.

    python3 -m venv --system-site-packages venv && venv/bin/pip install --no-build-isolation --no-index .

CMake configures its own build folder, build/pip, in Release mode with the option PAIRMEND_PYTHON
and builds only the module. With PAIRMEND_CMAKE_BUILD_DIR set to a build folder that was
configured with -DPAIRMEND_PYTHON=ON, the module is built (or found up to date) there instead.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    """Builds the extension pairmend._core with CMake and copies it where setuptools expects it."""

    def build_extension(self, ext):
        build_dir = os.environ.get("PAIRMEND_CMAKE_BUILD_DIR")
        if build_dir:
            build_dir = pathlib.Path(build_dir).resolve()
        else:
            build_dir = ROOT / "build" / "pip"
            self._cmake(
                "-S", str(ROOT), "-B", str(build_dir),
                "-DCMAKE_BUILD_TYPE=Release",
                "-DPAIRMEND_PYTHON=ON",
                "-DPAIRMEND_BUILD_TESTS=OFF",
                "-DPAIRMEND_BUILD_BENCHMARKS=OFF",
                f"-DPython_EXECUTABLE={sys.executable}",
            )
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        self._cmake("--build", str(build_dir), "--target", "pairmend_python", "-j", jobs)

        built = build_dir / "python" / "pairmend" / ("_core" + sysconfig.get_config_var("EXT_SUFFIX"))
        if not built.is_file():
            raise RuntimeError(
                f"CMake built no module at {built}; a build folder named by PAIRMEND_CMAKE_BUILD_DIR must be "
                "configured with -DPAIRMEND_PYTHON=ON for this Python"
            )
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)

    @staticmethod
    def _cmake(*arguments):
        subprocess.run(["cmake", *arguments], check=True)


setup(
    ext_modules=[Extension("pairmend._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
