"""The C library `kestrel`, loaded once from beside this file.

Every function the package calls is declared here with its exact C types, so
that ctypes converts and checks each argument the same way at every call.
"""
import ctypes
import pathlib

from ._version import __version__

# The package carries the library under its SONAME (major and minor version while the major is 0).
_LIBRARY = pathlib.Path(__file__).with_name("libkestrel.so." + ".".join(__version__.split(".")[:2]))

lib = ctypes.CDLL(str(_LIBRARY))
