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
)
from ._version import __version__
from .joint_limiter import JointLimiter, JointLimits, Limit
from .projection import Projection, SolveStatus, project_4d
from .receipts import ReceiptFields, ReceiptGuard, parse_receipt
from .receipt_log import ReceiptLogWriter  # after ReceiptGuard and parse_receipt, which it takes from here

__all__ = [
    "__version__",
    "Governor",
    "JointLimiter",
    "JointLimits",
    "KestrelBoundary",
    "KestrelReceipt",
    "KestrelViolation",
    "Limit",
    "MonotonicCounter",
    "Projection",
    "ReceiptFields",
    "ReceiptGuard",
    "ReceiptLogWriter",
    "SolveStatus",
    "parse_receipt",
    "project_4d",
]
