"""The four-axis projection for Python users, over the C library's kestrel_solve_multivar_4d."""
import ctypes
import enum
from typing import NamedTuple, Sequence, Tuple

from ._clib import lib


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


# The C records of kestrel.h, field for field (the module's kernel test checks
# their sizes and offsets against the header's).
Float4 = ctypes.c_float * 4


class Bounds4(ctypes.Structure):
    _fields_ = [("lower", Float4), ("upper", Float4)]


class LinearConstraints4(ctypes.Structure):
    _fields_ = [("count", ctypes.c_uint64), ("coefficients", Float4 * 4), ("limits", Float4)]


class Solution4(ctypes.Structure):
    _fields_ = [("x", Float4), ("iterations", ctypes.c_uint64), ("status", ctypes.c_uint32)]


lib.kestrel_solve_multivar_4d.argtypes = [
    ctypes.POINTER(ctypes.c_float), ctypes.POINTER(Bounds4), ctypes.POINTER(LinearConstraints4),
    ctypes.POINTER(Solution4)]
lib.kestrel_solve_multivar_4d.restype = ctypes.c_int32


def _four(name: str, values: Sequence[float]) -> "ctypes.Array[ctypes.c_float]":
    values = tuple(values)
    if len(values) != 4:
        raise ValueError(f"{name} must have 4 entries, not {len(values)}")
    return Float4(*values)


def project_4d(u: Sequence[float], lower: Sequence[float], upper: Sequence[float],
               rows: Sequence[Sequence[float]] = (), limits: Sequence[float] = ()) -> Projection:
    """project_4d(u, lower, upper, rows=(), limits=()) -> Projection

    Project the four-axis command ``u`` onto the box ``lower <= x <= upper``
    cut by the rows ``rows[i] . x <= limits[i]`` (at most four rows of four
    coefficients, one limit per row). Numbers are narrowed to single precision
    on the way in, as the C kernel computes. Raises ``ValueError`` for a vector
    that is not 4 long, more than four rows, a row that is not 4 long, or a
    number of limits that differs from the number of rows.
    """
    rows = tuple(rows)
    limits = tuple(limits)
    if len(rows) > 4:
        raise ValueError(f"at most 4 rows, not {len(rows)}")
    if len(limits) != len(rows):
        raise ValueError(f"{len(rows)} rows need {len(rows)} limits, not {len(limits)}")
    desired = _four("u", u)
    bounds = Bounds4(_four("lower", lower), _four("upper", upper))
    constraints = LinearConstraints4(len(rows))
    for i, row in enumerate(rows):
        constraints.coefficients[i] = _four(f"rows[{i}]", row)
        constraints.limits[i] = limits[i]
    out = Solution4()
    if lib.kestrel_solve_multivar_4d(desired, ctypes.byref(bounds), ctypes.byref(constraints), ctypes.byref(out)):
        raise RuntimeError("kestrel_solve_multivar_4d refused its arguments")
    return Projection(tuple(out.x), out.iterations, SolveStatus(out.status))
