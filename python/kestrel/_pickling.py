"""Pickling for `KestrelViolation`, whose class cannot be found by its own name.

The class lives in `builtins` by name only, so pickle cannot look it up there;
an exception raised in a worker process (multiprocessing, concurrent.futures)
could not reach its parent. `register` tells copyreg to rebuild it through
`_restore` instead, with the same args and fields.
"""
import copyreg
from typing import Any, Callable, Tuple

from _kestrel import KestrelViolation


def _restore(args: Tuple[Any, ...], axis: int, violation_type: str, message: str) -> KestrelViolation:
    violation = KestrelViolation(axis, violation_type, message)
    violation.args = args
    return violation


def _reduce(violation: KestrelViolation) -> Tuple[Callable[..., KestrelViolation], Tuple[Any, ...]]:
    return _restore, (violation.args, violation.axis, violation.violation_type, violation.message)


def register() -> None:
    copyreg.pickle(KestrelViolation, _reduce)
