"""The plain Python types that the native module hands out: enums and named tuples.

`kestrel._native` builds its results from these classes (it fetches them on
first use), so they exist once and pickle by their names. The enums' values
are the C library's, as the native module exports them.
"""
import enum
from typing import NamedTuple, Tuple

from . import _native


class SolveStatus(enum.IntEnum):
    """Outcome of a projection, as the C kernels write it."""

    INVALID_INPUT = _native.STATUS_INVALID_INPUT
    """Input rejected (a NaN, or an inverted box); x is the box clamp of the request."""
    OPTIMAL = _native.STATUS_OPTIMAL
    """Solved."""
    MAX_ITERATIONS = _native.STATUS_MAX_ITERATIONS
    """Iteration limit reached; x is the last iterate."""
    INFEASIBLE = _native.STATUS_INFEASIBLE
    """The box and the rows cannot be met together."""
    NUMERICAL_FAILURE = _native.STATUS_NUMERICAL_FAILURE
    """The linear algebra or the working set gave out."""


class Projection(NamedTuple):
    """The result of ``project_4d``."""

    x: Tuple[float, float, float, float]
    """The projected command, computed in single precision."""
    iterations: int
    """Active-set iterations performed."""
    status: SolveStatus
    """How the solve ended."""


class ReceiptFields(NamedTuple):
    """The fields of a receipt's 60-byte wire form."""

    nonce: bytes
    """12 random bytes drawn for the action."""
    timestamp_nanos: int
    """Wall-clock time of issue, nanoseconds since the Unix epoch."""
    sequence_id: int
    """The action's sequence number; 1 for a boundary's first action."""
    tag: bytes
    """The 32-byte HMAC-SHA-256 tag."""


class Frame(NamedTuple):
    """One action with its receipt, as a signed command frame carries it."""

    axis: int
    """The axis the action is for."""
    position: float
    """The requested position, bit for bit (a NaN keeps its sign and payload)."""
    velocity: float
    """The commanded velocity, bit for bit."""
    receipt: bytes
    """The receipt's 60-byte wire form."""


class MonitorState(enum.IntEnum):
    """The state of a `Monitor` after a check (the C library's KESTREL_MONITOR_* values)."""

    RUN = _native.MONITOR_RUN
    """Nothing tripped: the controller's commands pass."""
    STOPPING = _native.MONITOR_STOPPING
    """A trip: command a stop to the limiter (NaN for every joint) in this period and every one after."""
    STANDSTILL = _native.MONITOR_STANDSTILL
    """The SS2 stop came to rest: keep torque on and hold position (SOS is watched). Latches."""
    TORQUE_OFF = _native.MONITOR_TORQUE_OFF
    """Cut the torque (STO), now. Latches."""


class Trip(NamedTuple):
    """What made a `Monitor` leave RUN (or a later trip of its stop)."""

    function: str
    """The safety function: "SLS", "SLP", "SOS", "SS1", "SS2", "request" or "measurement"."""
    joint: int
    """The joint that tripped (0 for a request)."""
    value: float
    """The measured value that broke the limit (for SLP's stopping test, where the joint would rest; NaN for a
    measurement trip or a request)."""
    limit: float
    """The limit it broke, tolerance included (NaN for a measurement trip or a request)."""
    time_ns: int
    """The monitor's clock at the trip, nanoseconds since the Unix epoch."""


class Limit(enum.IntFlag):
    """Why a joint's limited velocity is what it is (the C library's KESTREL_LIMIT_* bits).

    A flag prints as its name ("JERK", "BRAKING|ACCELERATION_YIELDED"); no flag, a result no limit
    shaped, prints as "NONE".
    """

    NONE = 0  # the request passed as it was
    POSITION = _native.LIMIT_POSITION
    BRAKING = _native.LIMIT_BRAKING
    VELOCITY = _native.LIMIT_VELOCITY
    ACCELERATION = _native.LIMIT_ACCELERATION
    JERK = _native.LIMIT_JERK
    ACCELERATION_YIELDED = _native.LIMIT_ACCELERATION_YIELDED
    JERK_YIELDED = _native.LIMIT_JERK_YIELDED
    STOP_REQUEST = _native.LIMIT_STOP_REQUEST
    COUPLING = _native.LIMIT_COUPLING
    ARRIVAL = _native.LIMIT_ARRIVAL
    COUPLING_UNMET = _native.LIMIT_COUPLING_UNMET
    RECOVERING = _native.LIMIT_RECOVERING

    def __str__(self) -> str:
        return self.name or "NONE"

    def __format__(self, spec: str) -> str:
        return format(str(self), spec)
