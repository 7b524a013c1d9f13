"""The plain Python types that the native module hands out: enums and named tuples.

`kestrel._native` imports this module when it is itself imported and builds
its results from these classes, so they exist once and pickle by their names.
Nothing here imports the native module.
"""
import enum
from typing import NamedTuple, Tuple


class SolveStatus(enum.IntEnum):
    """Outcome of a projection, as the C kernels write it."""

    INVALID_INPUT = 0
    """Input rejected (a NaN, or an inverted box); x is the box clamp of the request."""
    OPTIMAL = 1
    """Solved."""
    MAX_ITERATIONS = 2
    """Iteration limit reached; x is the last iterate."""
    INFEASIBLE = 3
    """The box and the rows cannot be met together."""
    NUMERICAL_FAILURE = 4
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


class Limit(enum.IntFlag):
    """Why a joint's limited velocity is what it is (the C library's KESTREL_LIMIT_* bits).

    A flag prints as its name ("JERK", "BRAKING|ACCELERATION_YIELDED"); no flag prints as "0".
    """

    POSITION = 1 << 0
    BRAKING = 1 << 1
    VELOCITY = 1 << 2
    ACCELERATION = 1 << 3
    JERK = 1 << 4
    ACCELERATION_YIELDED = 1 << 5
    JERK_YIELDED = 1 << 6
    STOP_REQUEST = 1 << 7
    COUPLING = 1 << 8
    ARRIVAL = 1 << 9
    COUPLING_UNMET = 1 << 10
    RECOVERING = 1 << 11

    def __str__(self) -> str:
        return self.name or "0"

    def __format__(self, spec: str) -> str:
        return format(str(self), spec)
