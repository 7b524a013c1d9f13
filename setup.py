"""Builds the Python distribution through CMake, the project's one build system.

CMake configures with the install preset (release settings, no tests) for the
interpreter running this script, builds the module and the staged package,
and installs its `python` component (the module, its stub and the `kestrel`
package with its copy of the C library) into the build directory of the wheel.
"""
import pathlib
import re
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


def project_version():
    """The VERSION of project() in the top-level CMakeLists.txt."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*kestrel\s+VERSION\s+([0-9.]+)", text)
    if match is None:
        raise RuntimeError("no project(kestrel VERSION ...) in CMakeLists.txt")
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        if self.inplace:
            # The install step would write the module and the package into the
            # source tree; the preset builds serve development instead.
            raise RuntimeError("in-place and editable builds are not supported: use "
                               "PYTHONPATH=build/release/python after cmake --workflow --preset test")
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        destination = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve().parent
        self._run("cmake", "--preset", "install", "-S", ROOT, "-B", build_dir,
                  f"-DPython_EXECUTABLE={sys.executable}")
        self._run("cmake", "--build", build_dir, "--target", "_kestrel", "kestrel_package")
        self._run("cmake", "--install", build_dir, "--component", "python", "--prefix", destination)

    @staticmethod
    def _run(*command):
        print(" ".join(str(part) for part in command), flush=True)
        subprocess.run([str(part) for part in command], cwd=ROOT, check=True)


setup(
    version=project_version(),
    # Everything comes from CMake's install step; setuptools discovers nothing.
    packages=[],
    py_modules=[],
    ext_modules=[Extension("_kestrel", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
