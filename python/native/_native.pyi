"""The receiving side of receipts, the four-axis projection and the joint limiter, in C."""
from collections.abc import Callable, Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias, final

from _kestrel import KestrelReceipt
from kestrel._types import Frame, Limit, Projection, ReceiptFields, SolveStatus

# What the conversions accept: a float argument takes anything float() takes
# from a number (int, __index__ objects and numpy scalars included).
_Float: TypeAlias = SupportsFloat | SupportsIndex

class _Buffer(Protocol):
    """An object that exports a buffer, as type checkers that know __buffer__ see it."""

    def __buffer__(self, flags: int, /) -> memoryview: ...

class _Array(Protocol):
    """A one-dimensional array of numbers: numpy arrays, array.array, memoryview."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...

# Byte strings go by the buffer protocol, at the buffer's own length.
_Bytes: TypeAlias = bytes | bytearray | memoryview | _Buffer
# A vector: a sequence of numbers, or a 1-D float or double buffer. (A byte
# string passes this type but is refused at run time.)
_Vector: TypeAlias = Sequence[_Float] | _Array

# The C library's numbers, which the package's enums and lengths are built from.
KEY_LEN: int
RECEIPT_WIRE_LEN: int
FRAME_LEN: int
MAX_JOINTS: int
STATUS_INVALID_INPUT: int
STATUS_OPTIMAL: int
STATUS_MAX_ITERATIONS: int
STATUS_INFEASIBLE: int
STATUS_NUMERICAL_FAILURE: int
LIMIT_POSITION: int
LIMIT_BRAKING: int
LIMIT_VELOCITY: int
LIMIT_ACCELERATION: int
LIMIT_JERK: int
LIMIT_ACCELERATION_YIELDED: int
LIMIT_JERK_YIELDED: int
LIMIT_STOP_REQUEST: int
LIMIT_COUPLING: int
LIMIT_ARRIVAL: int
LIMIT_COUPLING_UNMET: int
LIMIT_RECOVERING: int

def parse_receipt(data: _Bytes) -> ReceiptFields: ...
def verify_receipt(key: _Bytes, receipt: _Bytes, axis: SupportsIndex, position: _Float, velocity: _Float) -> None: ...
def encode_frame(axis: SupportsIndex, position: _Float, velocity: _Float, receipt: _Bytes) -> bytes: ...
def decode_frame(frame: _Bytes) -> Frame: ...
def project_4d(
    u: _Vector, lower: _Vector, upper: _Vector, rows: Sequence[_Vector] = (), limits: _Vector = ()
) -> Projection: ...

@final
class SimulatedClock:
    def __init__(self, start_ns: SupportsIndex = 0) -> None: ...
    def advance(self, seconds: _Float) -> None: ...
    def advance_ns(self, n: SupportsIndex) -> None: ...
    @property
    def now_ns(self) -> int: ...

# A clock argument: the wall clock (None), a SimulatedClock, or any callable
# returning int nanoseconds since the Unix epoch.
_Clock: TypeAlias = SimulatedClock | Callable[[], int] | None

@final
class Boundary:
    def __init__(
        self, hmac_key: _Bytes, rate_limit: SupportsIndex = 1000, max_velocity_rad_s: _Float = 4.18, *,
        clock: _Clock = None
    ) -> None: ...
    def authorize_action(self, axis: SupportsIndex, position: _Float, velocity: _Float) -> KestrelReceipt: ...

@final
class Watchdog:
    def __init__(self, timeout: _Float, *, clock: _Clock = None) -> None: ...
    def feed(self) -> None: ...
    @property
    def expired(self) -> bool: ...

@final
class ReceiptGuard:
    def __init__(
        self, key: _Bytes, max_age: _Float | None = None, last_sequence_id: SupportsIndex = 0, *,
        clock: _Clock = None
    ) -> None: ...
    def check(self, receipt: _Bytes, axis: SupportsIndex, position: _Float, velocity: _Float) -> None: ...
    def check_frame(self, frame: _Bytes) -> Frame: ...
    @property
    def last_sequence_id(self) -> int: ...

@final
class JointLimits:
    def __init__(
        self,
        min_position: _Float = ...,
        max_position: _Float = ...,
        max_velocity: _Float = ...,
        max_acceleration: _Float = ...,
        max_jerk: _Float = ...,
    ) -> None: ...
    @property
    def min_position(self) -> float: ...
    @property
    def max_position(self) -> float: ...
    @property
    def max_velocity(self) -> float: ...
    @property
    def max_acceleration(self) -> float: ...
    @property
    def max_jerk(self) -> float: ...
    def __hash__(self) -> int: ...

@final
class JointLimiter:
    """Limits up to 32 joints' commands once per control period.

    Its state is the commands it issued, not the plant's. With measured
    positions, re-seed a joint with reset_joint only when its tracking error
    exceeds a bound of your choosing; each re-seed may change that joint's
    acceleration by up to max_acceleration in one period.
    """

    def __init__(self, limits: Sequence[JointLimits], period: _Float, positions: _Vector | None = None) -> None: ...
    def limit(self, desired: _Vector) -> list[float]: ...
    def limit_position(self, desired: _Vector) -> list[float]: ...
    def reset(self, positions: _Vector, velocities: _Vector | None = None) -> None: ...
    def reset_joint(self, joint: SupportsIndex, position: _Float, velocity: _Float = 0.0) -> None: ...
    def set_coupling(self, rows: Sequence[_Vector], limits: _Vector) -> None: ...
    def set_pure_tracking(self, on: bool) -> None: ...
    def __copy__(self) -> JointLimiter: ...
    def __deepcopy__(self, memo: Any, /) -> JointLimiter: ...
    def __len__(self) -> int: ...
    @property
    def positions(self) -> tuple[float, ...]: ...
    @property
    def velocities(self) -> tuple[float, ...]: ...
    @property
    def accelerations(self) -> tuple[float, ...]: ...
    @property
    def binding(self) -> tuple[Limit, ...]: ...
    @property
    def recovering(self) -> tuple[bool, ...]: ...
    @property
    def coupling_status(self) -> SolveStatus | None: ...
