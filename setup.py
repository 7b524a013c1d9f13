"""Builds the Python distribution through CMake, the project's one build system.

CMake configures with the install preset (release settings, no tests) for the
interpreter running this script, builds the module and the staged package,
and installs its `python` component (the module, its stub and the `kestrel`
package with its copy of the C library) into the build directory of the wheel.

An editable install (`pip install --no-build-isolation -e .`) builds the same
targets into build/editable, with the package's Python files staged as links
to python/kestrel, and installs only a path file naming build/editable/python:
edits to the package show at the next import, C++ changes after
`cmake --build build/editable`.
"""
import pathlib
import re
import subprocess
import sys

# dist_info too: pip asks for the metadata first, and setuptools writes it with bdist_wheel.
WHEEL_COMMANDS = {"bdist_wheel", "editable_wheel", "dist_info"}
DEBIAN_HINT = (f"kestrel: {sys.executable} cannot build wheels (setuptools and wheel are needed); on Debian "
               "run `apt-get install python3-setuptools python3-wheel` and build with /usr/bin/python3")

try:
    from setuptools import Extension, setup
    from setuptools.command.build_ext import build_ext
    from setuptools.command.editable_wheel import editable_wheel
    if WHEEL_COMMANDS & set(sys.argv[1:]):
        import wheel.bdist_wheel  # noqa: F401
except ImportError:
    sys.exit(DEBIAN_HINT)

ROOT = pathlib.Path(__file__).resolve().parent
EDITABLE_BUILD = ROOT / "build" / "editable"


def project_version():
    """The VERSION of project() in the top-level CMakeLists.txt."""
    text = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    match = re.search(r"project\(\s*kestrel\s+VERSION\s+([0-9.]+)", text)
    if match is None:
        raise RuntimeError("no project(kestrel VERSION ...) in CMakeLists.txt")
    return match.group(1)


def run(*command):
    print(" ".join(str(part) for part in command), flush=True)
    subprocess.run([str(part) for part in command], cwd=ROOT, check=True)


def cmake_build(build_dir, *options):
    run("cmake", "--preset", "install", "-S", ROOT, "-B", build_dir, f"-DPython_EXECUTABLE={sys.executable}",
        *options)
    run("cmake", "--build", build_dir, "--target", "_kestrel", "kestrel_package")


class CMakeBuild(build_ext):
    def run(self):
        # setuptools would copy the built module into the source tree after an
        # in-place or editable build; nothing here is built to be copied.
        if self.editable_mode:
            cmake_build(EDITABLE_BUILD, "-DKESTREL_PYTHON_LINKS=ON")
        elif self.inplace:
            raise RuntimeError("in-place builds are not supported: use pip install --no-build-isolation -e .")
        else:
            super().run()

    def build_extension(self, ext):
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        destination = pathlib.Path(self.get_ext_fullpath(ext.name)).resolve().parent
        cmake_build(build_dir)
        run("cmake", "--install", build_dir, "--component", "python", "--prefix", destination)


class PathFile:
    """The whole content of an editable wheel: one .pth line naming the editable build's python directory."""

    def __init__(self, name, directory):
        self.name, self.directory = name, directory

    def __call__(self, wheel, files, mapping):
        wheel.writestr(f"__editable__.{self.name}.pth", f"{self.directory}\n".encode())

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False


class EditableWheel(editable_wheel):
    # setuptools would put the repository root on sys.path, where neither the
    # module nor a complete package lives.
    def _select_strategy(self, name, tag, build_lib):
        return PathFile(name, EDITABLE_BUILD / "python")


setup(
    version=project_version(),
    # Everything comes from CMake's install step; setuptools discovers nothing.
    packages=[],
    py_modules=[],
    ext_modules=[Extension("_kestrel", sources=[])],
    cmdclass={"build_ext": CMakeBuild, "editable_wheel": EditableWheel},
)
