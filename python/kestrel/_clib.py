"""The C library `kestrel`, loaded once from beside this file.

Every function the package calls is declared here with its exact C types, so
that ctypes converts and checks each argument the same way at every call.
"""
import ctypes
import pathlib

import _kestrel

# The package carries the library under its SONAME (major version).
_LIBRARY = pathlib.Path(__file__).with_name("libkestrel.so." + _kestrel.__version__.split(".")[0])

lib = ctypes.CDLL(str(_LIBRARY))
