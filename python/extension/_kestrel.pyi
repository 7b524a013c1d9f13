"""Python module registration."""
from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, TypeAlias, final

# What each conversion of the module accepts: a float argument takes anything
# float() takes from a number (int and __index__ objects included), an integer
# argument anything with __index__ (but not float).
_Float: TypeAlias = SupportsFloat | SupportsIndex

class _Array(Protocol):
    """A one-dimensional array of numbers: numpy arrays, array.array, memoryview."""

    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> Any: ...

__version__: str
__all__ = ["__version__", "KestrelBoundary", "KestrelReceipt", "KestrelViolation", "MonotonicCounter", "Governor"]

@final
class KestrelBoundary:
    """Deterministic edge governor that authorizes physical actions."""

    def __init__(
        self,
        rate_limit: SupportsIndex = 1000,
        max_velocity_rad_s: _Float = 4.18,
        monotonic_window_size: SupportsIndex = 64,  # checked, then unused: the nonce window stays at 1024
        hmac_key: bytes | None = None,  # None, or 32 zero bytes, signs with a public key (RuntimeWarning)
    ) -> None: ...
    def authorize_action(
        self, target_axis: SupportsIndex, requested_position: _Float, commanded_velocity: _Float
    ) -> KestrelReceipt:
        """Authorize a single actuator command and return a signed receipt."""

@final
class KestrelReceipt:
    """Replay-resistant authorization receipt returned by `KestrelBoundary`."""

    @property
    def is_authorized(self) -> bool: ...
    @property
    def sequence_id(self) -> int: ...
    @property
    def timestamp_nanos(self) -> int: ...
    @property
    def receipt_hash(self) -> bytes: ...
    def verify(self, key: bytes) -> bool:
        """Re-verify this receipt against a 32-byte boundary key."""

@final
class KestrelViolation(Exception):
    """Exception raised when an action request violates the Kestrel boundary."""

    def __init__(self, axis: SupportsIndex = 0, violation_type: str = ..., message: str = ...) -> None: ...
    @property
    def axis(self) -> int: ...
    @property
    def violation_type(self) -> str: ...
    @property
    def message(self) -> str: ...

@final
class MonotonicCounter:
    """A monotonically increasing 64-bit counter."""

    def __init__(self, initial_value: SupportsIndex = 0) -> None: ...
    def next_value(self) -> int:
        """Return the next strictly greater counter value."""
    def current_value(self) -> int:
        """Return the current counter value without advancing it."""

@final
class Governor:
    """Python wrapper around the Kestrel scalar active-set projection kernel."""

    def __init__(self, min_bound: _Float, max_bound: _Float) -> None: ...
    def project(self, u_desired: _Float) -> float:
        """Project a single scalar actuator command into the safe envelope."""
    def project_batch(self, u_vec: Sequence[_Float] | _Array) -> list[float]:
        """Project a vector of actuator commands in a single call."""
