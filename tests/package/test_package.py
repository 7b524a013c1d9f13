"""The kestrel package: the module's classes re-exported, its own native module, and what it
adds to them (immutable classes, a picklable KestrelViolation)."""
import concurrent.futures
import pathlib
import subprocess
import sys
import unittest

import _kestrel
import kestrel
from kestrel import _native


def refuse_in_worker(axis):
    raise kestrel.KestrelViolation(axis, "replay_nonce", "nonce reuse detected")


class ReexportTest(unittest.TestCase):
    def test_classes_are_the_module_objects(self):
        for name in (n for n in _kestrel.__all__ if n != "__version__"):
            with self.subTest(name=name):
                self.assertIs(getattr(kestrel, name), getattr(_kestrel, name))
        # The package carries the library's version; the module keeps its own. --version says both.
        self.assertRegex(kestrel.__version__, r"^\d+\.\d+\.\d+$")
        done = subprocess.run([sys.executable, "-m", "kestrel", "--version"], capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stdout.splitlines()),
                         (0, [f"kestrel {kestrel.__version__} ({pathlib.Path(kestrel.__file__).parent})",
                              f"_kestrel {_kestrel.__version__} ({_kestrel.__file__})"]))

    def test_package_holds_no_foreign_function_layer(self):
        package = pathlib.Path(kestrel.__file__).parent
        self.assertEqual(list(package.glob("libkestrel*")), [])
        self.assertEqual([p.name for p in package.glob("*.py") if "import ctypes" in p.read_text()], [])

    def test_every_class_is_immutable(self):
        classes = [c for m in (_kestrel, _native) for c in vars(m).values() if isinstance(c, type)]
        self.assertEqual(len(classes), 14)
        for cls in classes:
            with self.subTest(cls=cls.__name__), self.assertRaises(TypeError):
                cls.__repr__ = lambda self: "replaced"

    def test_a_workers_violation_reaches_the_parent(self):
        with concurrent.futures.ProcessPoolExecutor(1) as pool:
            with self.assertRaises(kestrel.KestrelViolation) as caught:
                pool.submit(refuse_in_worker, 7).result()
        self.assertEqual(caught.exception.args, (7, "replay_nonce", "nonce reuse detected"))
        self.assertEqual((caught.exception.axis, caught.exception.violation_type), (7, "replay_nonce"))


if __name__ == "__main__":
    unittest.main()
