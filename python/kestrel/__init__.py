"""Kestrel for Python: the classes of the `_kestrel` module and what Python users need beyond them.

The five classes are the module's own objects, re-exported unchanged. The
additions are the package's own extension module, `kestrel._native`, built
on the same C core; every one of its objects is safe to share between threads.
Among them `Boundary` signs by the rules of `KestrelBoundary` on a clock of the
caller's choosing (a `SimulatedClock` runs a loop faster than real time), and
`Watchdog` tells the actuator side when commands have stopped, and `Monitor`
watches the measured motion with the stop functions drives use.
Importing the package lets `KestrelViolation` be pickled (see `_pickling`).
"""
from _kestrel import (
    Governor,
    KestrelBoundary,
    KestrelReceipt,
    KestrelViolation,
    MonotonicCounter,
)

from . import _pickling
from ._native import (
    Boundary,
    JointLimiter,
    JointLimits,
    Monitor,
    ReceiptGuard,
    SimulatedClock,
    Watchdog,
    decode_frame,
    derive_key,
    encode_frame,
    parse_receipt,
    project_4d,
    verify_receipt,
)
from .description import DescribedJoint, DescriptionError, DescriptionWarning, describe_joints, load_joint_limits
from ._types import Frame, Limit, MonitorState, Projection, ReceiptFields, SolveStatus, Trip
from ._version import __version__
from .receipt_log import ReceiptLogWriter

_pickling.register()

__all__ = [
    "__version__",
    "Boundary",
    "DescribedJoint",
    "DescriptionError",
    "DescriptionWarning",
    "Frame",
    "Governor",
    "JointLimiter",
    "JointLimits",
    "KestrelBoundary",
    "KestrelReceipt",
    "KestrelViolation",
    "Limit",
    "Monitor",
    "MonitorState",
    "MonotonicCounter",
    "Projection",
    "ReceiptFields",
    "ReceiptGuard",
    "ReceiptLogWriter",
    "SimulatedClock",
    "SolveStatus",
    "Trip",
    "Watchdog",
    "decode_frame",
    "describe_joints",
    "derive_key",
    "encode_frame",
    "load_joint_limits",
    "parse_receipt",
    "project_4d",
    "verify_receipt",
]
