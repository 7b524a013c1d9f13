"""Per-joint kinematic limits at the control rate, on the C library's joint limiter.

One `JointLimiter.limit` call per control period turns the desired joint
velocities into the velocities to command: each one the value nearest to the
desired one that keeps the joint within its position, velocity, acceleration
and jerk limits and still able to stop before a position limit. The C header
`kestrel_joint_limiter.h` states the rules in full.
"""
from __future__ import annotations

import ctypes
import dataclasses
import enum
import math
from collections.abc import Sequence
from typing import Optional

from . import _clib
from .projection import LinearConstraints4, Solution4

__all__ = ["JointLimits", "JointLimiter", "Limit"]

MAX_JOINTS = 32

# Error values of kestrel_joint_limiter_*.
_OK = 0
_NOT_COUPLED = 19  # KESTREL_ERROR_NOT_COUPLED


class _Limits(ctypes.Structure):
    _fields_ = [(name, ctypes.c_double) for name in
                ("min_position", "max_position", "max_velocity", "max_acceleration", "max_jerk")]


_lib = _clib.lib
_double_p = ctypes.POINTER(ctypes.c_double)
_uint32_p = ctypes.POINTER(ctypes.c_uint32)
_lib.kestrel_joint_limiter_size.argtypes = []
_lib.kestrel_joint_limiter_size.restype = ctypes.c_size_t
_lib.kestrel_joint_limiter_init.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(_Limits),
                                            ctypes.c_double, _double_p]
_lib.kestrel_joint_limiter_init.restype = ctypes.c_int32
_lib.kestrel_joint_limiter_limit.argtypes = [ctypes.c_void_p, _double_p, _double_p, _uint32_p]
_lib.kestrel_joint_limiter_limit.restype = ctypes.c_int32
_lib.kestrel_joint_limiter_reset.argtypes = [ctypes.c_void_p, _double_p, _double_p]
_lib.kestrel_joint_limiter_reset.restype = ctypes.c_int32
_lib.kestrel_joint_limiter_state.argtypes = [ctypes.c_void_p, _uint32_p, _double_p, _double_p, _double_p, _uint32_p]
_lib.kestrel_joint_limiter_state.restype = ctypes.c_int32
_lib.kestrel_joint_limiter_set_coupling.argtypes = [ctypes.c_void_p, ctypes.POINTER(LinearConstraints4)]
_lib.kestrel_joint_limiter_set_coupling.restype = ctypes.c_int32
_lib.kestrel_joint_limiter_coupling_result.argtypes = [ctypes.c_void_p, ctypes.POINTER(Solution4)]
_lib.kestrel_joint_limiter_coupling_result.restype = ctypes.c_int32
_lib.kestrel_error_message.argtypes = [ctypes.c_int32]
_lib.kestrel_error_message.restype = ctypes.c_char_p

# The storage is 8-aligned: an array of uint64 gets that from ctypes.
_Storage = ctypes.c_uint64 * (_lib.kestrel_joint_limiter_size() // 8)


def _check(error: int) -> None:
    if error != _OK:
        raise ValueError(_lib.kestrel_error_message(error).decode())


class Limit(enum.IntFlag):
    """Why a joint's limited velocity is what it is (the C library's KESTREL_LIMIT_* bits)."""

    POSITION = 1 << 0
    BRAKING = 1 << 1
    VELOCITY = 1 << 2
    ACCELERATION = 1 << 3
    JERK = 1 << 4
    ACCELERATION_YIELDED = 1 << 5
    JERK_YIELDED = 1 << 6
    STOP_REQUEST = 1 << 7
    COUPLING = 1 << 8


@dataclasses.dataclass(frozen=True)
class JointLimits:
    """The limits of one joint; an infinite value means the limit is absent.

    Positions in rad (or m), rates per second. Refused with ValueError: a NaN,
    min_position >= max_position, or a rate limit that is not > 0.
    """

    min_position: float = -math.inf
    max_position: float = math.inf
    max_velocity: float = math.inf
    max_acceleration: float = math.inf
    max_jerk: float = math.inf

    def __post_init__(self) -> None:
        for field in dataclasses.fields(self):
            value = getattr(self, field.name)
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise TypeError(f"{field.name} must be a float, not {type(value).__name__}")
            if math.isnan(value):
                raise ValueError(f"{field.name} must not be NaN")
            object.__setattr__(self, field.name, float(value))
        if not self.min_position < self.max_position:
            raise ValueError("min_position must be below max_position")
        for name in ("max_velocity", "max_acceleration", "max_jerk"):
            if not getattr(self, name) > 0.0:
                raise ValueError(f"{name} must be > 0")


class JointLimiter:
    """Limits the velocity commands of up to 32 joints, one call per control period.

    `limits` holds one JointLimits per joint (for identical joints pass
    `[limits] * n`; a bare JointLimits is refused, since the joint count would
    be a guess). `period` is the control period in seconds. `positions` are
    the start positions (None: 0 for every joint, refused where 0 lies
    outside a joint's limits). Velocities and accelerations start at 0.
    """

    def __init__(self, limits: Sequence[JointLimits], period: float,
                 positions: Optional[Sequence[float]] = None) -> None:
        if isinstance(limits, JointLimits) or not isinstance(limits, Sequence):
            raise TypeError("limits must be a sequence of JointLimits, one per joint (use [limits] * n)")
        if not 1 <= len(limits) <= MAX_JOINTS:
            raise ValueError(f"limits must hold 1 to {MAX_JOINTS} joints, not {len(limits)}")
        for item in limits:
            if not isinstance(item, JointLimits):
                raise TypeError(f"limits must hold JointLimits, not {type(item).__name__}")
        if isinstance(period, bool) or not isinstance(period, (int, float)):
            raise TypeError(f"period must be a float, not {type(period).__name__}")
        count = len(limits)
        self._count = count
        self._storage = _Storage()
        self._in = (ctypes.c_double * count)()
        self._out = (ctypes.c_double * count)()
        self._flags = (ctypes.c_uint32 * count)()
        records = (_Limits * count)(*(_Limits(*dataclasses.astuple(item)) for item in limits))
        start = self._vector([0.0] * count if positions is None else positions, "positions")
        _check(_lib.kestrel_joint_limiter_init(self._storage, count, records, float(period), start))

    def _vector(self, values: Sequence[float], name: str) -> ctypes.Array:
        """A fresh C array of the joint count's doubles (TypeError/ValueError on a bad sequence)."""
        buffer = (ctypes.c_double * self._count)()
        self._fill(buffer, values, name)
        return buffer

    def _fill(self, buffer: ctypes.Array, values: Sequence[float], name: str) -> None:
        try:
            count = len(values)
        except TypeError:
            raise TypeError(f"{name} must be a sequence of floats, not {type(values).__name__}") from None
        if count != self._count:
            raise ValueError(f"{name} must hold {self._count} values, not {count}")
        try:
            buffer[:] = values
        except TypeError:
            raise TypeError(f"{name} must hold only floats") from None

    def limit(self, desired: Sequence[float]) -> list[float]:
        """Return the velocities to command for the desired ones and advance one period.

        `desired` is a list, tuple or 1-D float array with one velocity per
        joint. A NaN or infinite value is a request to stop that joint.
        """
        self._fill(self._in, desired, "desired")
        _check(_lib.kestrel_joint_limiter_limit(self._storage, self._in, self._out, self._flags))
        return self._out[:]

    def reset(self, positions: Sequence[float], velocities: Optional[Sequence[float]] = None) -> None:
        """Set the state: positions inside their limits, velocities (default 0); accelerations 0.
        """
        start = self._vector(positions, "positions")
        speeds = None if velocities is None else self._vector(velocities, "velocities")
        _check(_lib.kestrel_joint_limiter_reset(self._storage, start, speeds))

    def set_coupling(self, rows: Sequence[Sequence[float]], limits: Sequence[float]) -> None:
        """Couple joints 0..3: up to four rows r with sum(r[k] * v[k]) <= limit.

        The per-joint results are projected onto the rows by the four-axis
        solver (single precision) inside each joint's allowed interval. An
        empty `rows` switches the coupling off.
        """
        if len(rows) != len(limits) or len(rows) > 4:
            raise ValueError("coupling needs as many limits as rows, and at most 4 rows")
        record = LinearConstraints4(count=len(rows))
        for i, row in enumerate(rows):
            if len(row) != 4:
                raise ValueError("each coupling row has 4 coefficients")
            record.coefficients[i][:] = row
            record.limits[i] = limits[i]
        _check(_lib.kestrel_joint_limiter_set_coupling(self._storage, record))

    @property
    def coupling_status(self) -> Optional[int]:
        """The four-axis solver's SolveStatus of the last call (1 Optimal), or None without coupling."""
        result = Solution4()
        error = _lib.kestrel_joint_limiter_coupling_result(self._storage, result)
        if error == _NOT_COUPLED:
            return None
        _check(error)
        return int(result.status)

    def _state(self) -> tuple[ctypes.Array, ctypes.Array, ctypes.Array, ctypes.Array]:
        p, v, a = ((ctypes.c_double * self._count)() for _ in range(3))
        flags = (ctypes.c_uint32 * self._count)()
        _check(_lib.kestrel_joint_limiter_state(self._storage, None, p, v, a, flags))
        return p, v, a, flags

    @property
    def positions(self) -> tuple[float, ...]:
        """The last commanded position of every joint."""
        return tuple(self._state()[0])

    @property
    def velocities(self) -> tuple[float, ...]:
        """The last commanded velocity of every joint."""
        return tuple(self._state()[1])

    @property
    def accelerations(self) -> tuple[float, ...]:
        """The acceleration of every joint over the last period."""
        return tuple(self._state()[2])

    @property
    def binding(self) -> tuple[Limit, ...]:
        """The Limit flags of every joint from the last call (empty flags after a reset)."""
        return tuple(Limit(f) for f in self._state()[3])

    def __len__(self) -> int:
        return self._count
