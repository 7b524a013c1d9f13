"""Kestrel for Python: the classes of the `_kestrel` module and what Python users need beyond them.

The five classes are the module's own objects, re-exported unchanged. The
additions run on the C library `kestrel`, which ships inside this package.
"""
from _kestrel import (
    Governor,
    KestrelBoundary,
    KestrelReceipt,
    KestrelViolation,
    MonotonicCounter,
    __version__,
)

__all__ = [
    "__version__",
    "Governor",
    "KestrelBoundary",
    "KestrelReceipt",
    "KestrelViolation",
    "MonotonicCounter",
]
