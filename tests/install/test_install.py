"""What a new user does with the README: install, then run the quick starts.

One copy of the source tree serves every step. The shell blocks of the README's
"Install" section run in it as written, with `python3` being the interpreter
this test runs under and the system-wide destinations moved into a temporary
root (pip's --root through PIP_ROOT, cmake --install's DESTDIR); ldconfig is
left out. Then the quick starts run against each installation, mypy checks a
user's script, and the installed C library builds a program twice: through
its CMake package and through pkg-config.

CTest runs the steps one test each (`test_install.py --step copy`, then
`--step 1`, `--step 2`, ... for the README's blocks, in the directory named by
KESTREL_INSTALL_WORK), so that the test command reports each install as it
ends instead of one long silence; `install.readme` then checks what they
installed. Run alone, the test does every step itself in a temporary directory.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import unittest
import zipfile

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / "tests" / "support"))
from readme import readme_blocks  # noqa: E402
VERSION = re.search(r"project\(\s*kestrel\s+VERSION\s+([0-9.]+)",
                    (SOURCE_DIR / "CMakeLists.txt").read_text(encoding="utf-8")).group(1)
# Before 1.0 the SONAME carries the major and the minor version.
SONAME_VERSION = ".".join(VERSION.split(".")[:2])

USER_SCRIPT = """\
import _kestrel
import kestrel
import numpy

counter: _kestrel.MonotonicCounter = kestrel.MonotonicCounter(5)
first: int = counter.next_value()
batch: list[float] = kestrel.Governor(0, 1).project_batch(range(3))
batch = kestrel.Governor(0, 1).project_batch(numpy.zeros(3))
command: list[float] = kestrel.JointLimiter([kestrel.JointLimits()], 0.001).limit(numpy.zeros(1))
receipt: kestrel.KestrelReceipt = _kestrel.KestrelBoundary().authorize_action(0, 0.0, 0.5)
tag: bytes = receipt.receipt_hash
version: str = kestrel.__version__
"""
# The same calls with the result types wrong: mypy has to see the stub's types.
WRONG_USER_SCRIPT = """\
import kestrel

projected: str = kestrel.Governor(0, 1).project(0.5)
kestrel.KestrelBoundary().authorize_action(0, 0.0, 0.5).verify("key")
"""


def expected_prints(code):
    """The values the README's comments give for each print() line."""
    return [line.split("# ", 1)[1] for line in code.splitlines() if line.lstrip().startswith("print(")]


def layout(work):
    """The paths and the environment of the steps, in the work directory."""
    work = pathlib.Path(work)
    env = {key: value for key, value in os.environ.items() if not key.startswith("PYTHON")}
    env.update(PATH=f"{work / 'bin'}:{pathlib.Path(os.environ['KESTREL_CMAKE']).parent}:{os.environ['PATH']}",
               CMAKE_BUILD_PARALLEL_LEVEL="2", MYPY_CACHE_DIR=str(work / "mypy-cache"))
    return work / "src", work / "python-root", work / "c-root", env


def copy_tree(work):
    """The source copy that every step works in, and the shims of python3 and ldconfig."""
    src = layout(work)[0]
    shutil.rmtree(work, ignore_errors=True)
    shutil.copytree(SOURCE_DIR, src, ignore=shutil.ignore_patterns(
        "build", ".git", ".venv", "dist", "__pycache__", "*.egg-info"))
    shims = pathlib.Path(work) / "bin"
    shims.mkdir()
    (shims / "python3").write_text(f'#!/bin/sh\nexec {sys.executable} "$@"\n')
    (shims / "ldconfig").write_text("#!/bin/sh\n")
    for shim in shims.iterdir():
        shim.chmod(0o755)


def install_step(work, number):
    """Run the README's Install block `number` (from 1) as written, system-wide destinations redirected."""
    src, python_root, c_root, env = layout(work)
    code = [block.code for block in readme_blocks("Install", "sh")][number - 1]
    if "--break-system-packages" in code:
        env["PIP_ROOT"] = str(python_root)
    if "cmake --install" in code:
        env["DESTDIR"] = str(c_root)
    started = time.monotonic()
    InstallTest.run_checked(["bash", "-euo", "pipefail", "-c", code], cwd=src, env=env)
    print(f"{time.monotonic() - started:6.1f} s  {code.strip()}", file=sys.stderr)


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        given = os.environ.get("KESTREL_INSTALL_WORK")
        cls.work = pathlib.Path(given or tempfile.mkdtemp(prefix="kestrel-install-"))
        cls.src, cls.python_root, cls.c_root, cls.env = layout(cls.work)
        if not given:
            copy_tree(cls.work)
            for number in range(1, len(readme_blocks("Install", "sh")) + 1):
                install_step(cls.work, number)
        cls.prefix = cls.c_root / "usr" / "local"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    @staticmethod
    def run_checked(command, **kwargs):
        result = subprocess.run(command, capture_output=True, text=True, **kwargs)
        if result.returncode != 0:
            raise AssertionError(f"{command} failed ({result.returncode}):\n{result.stdout}\n{result.stderr}")
        return result.stdout

    def installed_pythons(self):
        """(name, interpreter, environment) of each Python installation."""
        # Where pip installs system-wide (on Debian: /usr/local/lib/python3.X/dist-packages).
        system_site = self.python_root / pathlib.Path(sysconfig.get_path("platlib")).relative_to("/")
        return [("venv", str(self.src / ".venv" / "bin" / "python"), self.env),
                ("system", sys.executable, dict(self.env, PYTHONPATH=str(system_site))),
                ("editable", str(self.src / ".venv-dev" / "bin" / "python"), self.env)]

    def test_python_quick_start_runs_from_elsewhere(self):
        (code,) = (b.code for b in readme_blocks("Quick start", "python"))
        locate = "import _kestrel, kestrel; print(_kestrel.__file__, kestrel.__file__, kestrel.__version__)"
        for name, python, env in self.installed_pythons():
            with self.subTest(installation=name):
                output = self.run_checked([python, "-c", code], cwd=self.work, env=env)
                self.assertEqual(output.splitlines(), expected_prints(code))
                module, package, version = self.run_checked([python, "-c", locate], cwd=self.work,
                                                            env=env).split()
                self.assertEqual(version, VERSION)
                for path in (module, package):  # never the source copy nor a build tree, but where installed
                    self.assertTrue(path.startswith(str(self.src / "build" / "editable" / "python")) if
                                    name == "editable" else "-packages" in path, path)

    def test_editable_install_follows_the_source(self):
        python, init = str(self.src / ".venv-dev" / "bin" / "python"), self.src / "python" / "kestrel" / "__init__.py"
        original = init.read_text()
        try:
            init.write_text(original + "EDITED = 1\n")
            output = self.run_checked([python, "-c", "import kestrel; print(kestrel.EDITED)"], cwd=self.work,
                                      env=self.env)
        finally:
            init.write_text(original)
        self.assertEqual(output, "1\n")
        self.assertEqual(list(self.src.glob("_kestrel*")), [], "a module left in the repository root")

    def test_setup_without_wheel_names_the_debian_packages(self):
        no_wheel = "import sys; sys.modules['wheel'] = None; sys.argv[1:] = ['bdist_wheel']; exec(open('setup.py').read())"
        result = subprocess.run([sys.executable, "-c", no_wheel], cwd=self.src, env=self.env, capture_output=True,
                                text=True)
        self.assertNotEqual(result.returncode, 0)
        self.assertRegex(result.stderr, r"\A[^\n]*python3-setuptools python3-wheel[^\n]*\n\Z")

    def test_mypy_reads_the_installed_types(self):
        python = str(self.src / ".venv" / "bin" / "python")
        for script, must_pass in ((USER_SCRIPT, True), (WRONG_USER_SCRIPT, False)):
            with self.subTest(must_pass=must_pass):
                path = self.work / "user_script.py"
                path.write_text(script)
                result = subprocess.run([python, "-m", "mypy", "--strict", str(path)], cwd=self.work,
                                        env=self.env, capture_output=True, text=True)
                if must_pass:
                    self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                else:
                    self.assertEqual(len(re.findall(r"error: Incompatible types in assignment|"
                                                    r'error: Argument 1 to "verify"', result.stdout)),
                                     2, result.stdout)

    def test_wheel_holds_module_stub_and_package(self):
        (wheel,) = (self.src / "dist").glob(f"kestrel-{VERSION}-*.whl")
        names = set(zipfile.ZipFile(wheel).namelist())
        expected = {"_kestrel.pyi", "_kestrel-stubs/__init__.pyi", "kestrel/__init__.py", "kestrel/py.typed",
                    "kestrel/_version.py", "kestrel/_native.pyi"}
        self.assertLessEqual(expected, names)
        self.assertTrue(any(re.fullmatch(r"_kestrel\.cpython-.*\.so", name) for name in names))
        self.assertTrue(any(re.fullmatch(r"kestrel/_native\.cpython-.*\.so", name) for name in names))
        self.assertEqual([name for name in names if "libkestrel" in name], [])

    def test_c_prefix_holds_the_library_alone(self):
        files = sorted(str(p.relative_to(self.prefix)) for p in self.prefix.rglob("*") if not p.is_dir())
        self.assertIn("include/kestrel.h", files)
        self.assertIn("lib/pkgconfig/kestrel.pc", files)
        self.assertIn("lib/cmake/kestrel/kestrel-config-version.cmake", files)
        self.assertEqual([f for f in files if "libkestrel" in f],
                         ["lib/libkestrel.a", "lib/libkestrel.so", f"lib/libkestrel.so.{SONAME_VERSION}",
                          f"lib/libkestrel.so.{VERSION}", "lib/libkestrel_description.so",
                          f"lib/libkestrel_description.so.{SONAME_VERSION}", f"lib/libkestrel_description.so.{VERSION}"])
        self.assertEqual(os.readlink(self.prefix / "lib" / f"libkestrel.so.{SONAME_VERSION}"), f"libkestrel.so.{VERSION}")
        self.assertFalse([f for f in files if "_kestrel" in f or f.endswith((".py", "_tests"))])

    def test_c_program_through_find_package(self):
        # The README's CMake lines are those of the example project built here.
        (snippet,) = (b.code for b in readme_blocks("Install", "cmake"))
        project = (self.src / "examples" / "c" / "CMakeLists.txt").read_text().splitlines()
        for line in snippet.splitlines():
            self.assertIn(line, project)
        build = self.work / "example-build"
        self.run_checked(["cmake", "-S", self.src / "examples" / "c", "-B", build, "-G", "Ninja",
                          f"-DCMAKE_PREFIX_PATH={self.prefix}"], env=self.env)
        self.run_checked(["cmake", "--build", build], env=self.env)
        for program in ("project_4d", "project_4d_static"):
            with self.subTest(program=program):
                output = self.run_checked([build / program], env=self.env)
                self.assertIn("status 1", output)
        robot = self.src / "examples" / "robot"
        output = self.run_checked([build / "robot_limits", robot / "egret.urdf", robot / "egret_planning.yaml"],
                                  env=self.env)
        self.assertIn("elbow", output)

    def test_c_quick_start_through_pkg_config(self):
        (source,) = (b.code for b in readme_blocks("Quick start", "c"))
        (command,) = (b.code for b in readme_blocks("Quick start", "sh"))
        directory = self.work / "quickstart"
        directory.mkdir()
        (directory / "quickstart.c").write_text(source)
        # No LD_LIBRARY_PATH: the README's command finds the library of a prefix by itself.
        env = dict(self.env, PKG_CONFIG_PATH=str(self.prefix / "lib" / "pkgconfig"))
        output = self.run_checked(["bash", "-euo", "pipefail", "-c", command], cwd=directory, env=env)
        self.assertEqual(output, "x = 0.5, status 1\n")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--step"]:
        work = os.environ["KESTREL_INSTALL_WORK"]
        copy_tree(work) if sys.argv[2] == "copy" else install_step(work, int(sys.argv[2]))
    else:
        unittest.main()
