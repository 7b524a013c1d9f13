"""The kestrel package: the module's classes re-exported, and its C library reachable."""
import unittest

import _kestrel
import kestrel
from kestrel import _clib


class ReexportTest(unittest.TestCase):
    def test_classes_are_the_module_objects(self):
        for name in (n for n in _kestrel.__all__ if n != "__version__"):
            with self.subTest(name=name):
                self.assertIs(getattr(kestrel, name), getattr(_kestrel, name))
        # The package carries the library's version; the module keeps its own.
        self.assertRegex(kestrel.__version__, r"^\d+\.\d+\.\d+$")

    def test_c_library_is_loaded_without_python(self):
        # The library's kernels answer; the Python module's init is not in it.
        self.assertTrue(hasattr(_clib.lib, "kestrel_solve_multivar_4d"))
        self.assertFalse(hasattr(_clib.lib, "PyInit__kestrel"))


if __name__ == "__main__":
    unittest.main()
