"""The receipt log: one line per action a boundary authorized or refused, sealed as it goes.

``ReceiptLogWriter`` writes the log; its lines and seals are formed by the C
core (``kestrel._native.LogWriter``), which the check of ``log_audit`` reads
back. The auditor's names (``verify_log``, ``verify_log_file``, ``LogReport``,
``Finding``) and ``read_key_file`` are importable from here too.
"""
import operator
import threading
import time
from types import TracebackType
from typing import IO, Optional, Type, Union

from _kestrel import KestrelBoundary, KestrelReceipt, KestrelViolation

from ._native import Boundary, LogWriter, key_fingerprint
from .key_file import KEY_LEN, read_key_file
from ._types import Trip
from .log_audit import Finding, LogReport, verify_log, verify_log_file

__all__ = ["KEY_LEN", "ReceiptLogWriter", "Finding", "LogReport", "key_fingerprint", "read_key_file", "verify_log",
           "verify_log_file"]


def _positive(name: str, value: Optional[float]) -> Optional[float]:
    if isinstance(value, bool):  # the package's rule for seconds, as its native classes apply it
        raise TypeError(f"argument '{name}': a number of seconds, not bool")
    if value is not None and not value > 0:
        raise ValueError(f"{name} must be > 0, or None to turn it off")
    return value


class ReceiptLogWriter:
    """ReceiptLogWriter(stream, key, *, checkpoint_lines=10000, checkpoint_seconds=1.0)

    Writes one line per authorized action (``record``, ``authorize``) and per
    refused one (``record_refusal``), and of a monitor's trip (``record_trip``), to a text stream. Every
    ``checkpoint_lines`` lines, or on the first line ``checkpoint_seconds``
    after the last seal, whichever comes first (``None`` turns either off), it
    appends a checkpoint, a seal signed with ``key`` (the boundary's 32-byte
    key) over every line before it, and flushes the stream; closing appends the
    final seal. So a log cut short, or with lines removed, fails
    ``verify-log --strict``, and the log of a writer that crashed still
    vouches for every line up to its last checkpoint (exit 3). ``rekey``
    rotates the log, and the boundary with it, to a new key. If a write to the
    stream fails, the log ends there, as a crashed writer's does, and every
    later call raises ``OSError``. A context manager: leaving the ``with``
    block closes it. One writer per log; safe to share between threads: each
    call writes whole lines under one lock.
    """

    def __init__(self, stream: IO[str], key: bytes, *, checkpoint_lines: Optional[int] = 10000,
                 checkpoint_seconds: Optional[float] = 1.0) -> None:
        self._log = LogWriter(key)
        self._every_lines = _positive("checkpoint_lines", checkpoint_lines)
        self._every_seconds = _positive("checkpoint_seconds", checkpoint_seconds)
        self._stream = stream
        self._lock = threading.RLock()
        self._closed = False
        self._failure: Optional[BaseException] = None  # the write that failed; nothing is written after it
        self._failure_told = False
        self._seal()

    def _ended(self, what: str) -> OSError:
        """The error of a log whose stream failed: `what` failed, and nothing more is written."""
        self._failure_told = True
        name = getattr(self._stream, "name", None) or repr(self._stream)
        return OSError(f"receipt log {name}: {what} ({self._failure!r}); nothing more is written to it, and it "
                       f"ends there, as a crashed writer's log does")

    def _failed(self) -> OSError:
        return self._ended("an earlier write failed")

    def _put(self, line: str, flush: bool = False) -> None:
        """Write one whole line; after a failure, none."""
        try:
            self._stream.write(line)
            if flush:
                self._stream.flush()
        except BaseException as error:
            self._failure = error
            if isinstance(error, Exception):
                raise self._ended("writing a line failed") from error
            raise

    def _seal(self) -> None:
        self._since_seal = 0
        self._sealed_at = time.monotonic()

    def _write(self, line: str) -> None:
        """Write a record or refusal line, then a checkpoint if one is due. A checkpoint that fails to be written
        is reported by the next call: the line before it is on the log, and its caller gets what it asked for."""
        self._put(line)
        self._since_seal += 1
        if (self._every_lines is not None and self._since_seal >= self._every_lines) or (
                self._every_seconds is not None and time.monotonic() - self._sealed_at >= self._every_seconds):
            try:
                self._put(self._log.seal(False), flush=True)
            except OSError:
                self._failure_told = False
            self._seal()

    def _open(self) -> None:
        if self._closed:
            raise ValueError("write to a closed ReceiptLogWriter")
        if self._failure is not None:
            raise self._failed()

    def record(self, axis: int, position: float, velocity: float,
               receipt: Union[KestrelReceipt, bytes]) -> None:
        """record(axis, position, velocity, receipt) -> None

        Append the line of one action and the receipt the boundary returned
        for it (a ``KestrelReceipt`` or its 60-byte ``receipt_hash``).
        Position and velocity are kept bit for bit, NaN included. ValueError,
        with nothing written, if the receipt's tag does not match the action
        under this log's key or its sequence id is not above the last
        recorded one (so the log would fail its own check).
        """
        wire = receipt.receipt_hash if isinstance(receipt, KestrelReceipt) else bytes(memoryview(receipt))
        axis = operator.index(axis)
        with self._lock:
            self._open()
            self._write(self._log.record(axis, float(position), float(velocity), wire))

    def record_refusal(self, violation: KestrelViolation, position: float, velocity: float) -> None:
        """record_refusal(violation, position, velocity) -> None

        Append the line of an action the boundary refused: the violation's
        axis and type, the action, and the wall clock's time.
        """
        with self._lock:
            self._open()
            self._write(self._log.refusal(violation.violation_type, violation.axis, float(position), float(velocity),
                                          time.time_ns()))

    def record_trip(self, trip: Trip) -> None:
        """record_trip(trip) -> None

        Append the line of a ``Monitor``'s trip (its ``trip`` or ``last_trip``):
        the safety function, the joint, the value, the limit and the monitor's
        time, sealed like every other line. ValueError, with nothing written,
        for a function that is not one that trips.
        """
        with self._lock:
            self._open()
            self._write(self._log.trip(trip.function, trip.joint, float(trip.value), float(trip.limit),
                                       trip.time_ns))

    def authorize(self, boundary: Union[Boundary, KestrelBoundary], axis: int, position: float,
                  velocity: float) -> KestrelReceipt:
        """authorize(boundary, axis, position, velocity) -> KestrelReceipt

        ``boundary.authorize_action(axis, position, velocity)`` and the record
        of its receipt under one lock, so that threads sharing a boundary and
        this writer write their lines in sequence order. A refusal is recorded
        with ``record_refusal`` and raised again. A receipt whose line is on
        the log is always returned.
        """
        with self._lock:
            self._open()
            try:
                receipt = boundary.authorize_action(axis, position, velocity)
            except KestrelViolation as refusal:
                self.record_refusal(refusal, position, velocity)
                raise
            self.record(axis, position, velocity, receipt)
            return receipt

    def rekey(self, new_key: bytes, boundary: Optional[Boundary] = None) -> None:
        """rekey(new_key, boundary=None) -> None

        Rotate the log to ``new_key``: write a rotation line, sealed under the
        old key, that names the new key by its fingerprint, and flush; the
        lines after it are under ``new_key``. With ``boundary`` (a
        ``kestrel.Boundary``), rekey it too, under this writer's lock, so that
        no ``authorize`` signs under one key and records under the other.
        ValueError, nothing written, for a key of 32 zero bytes.
        """
        with self._lock:
            self._open()
            line = self._log.rekey(new_key)
            self._put(line, flush=True)
            self._seal()
            if boundary is not None:
                boundary.rekey(new_key)

    def close(self) -> None:
        """Append the final seal, then flush and close the stream. Closing again does nothing. After a failed write
        no seal is written (the log ends at the failure) and, unless a call reported it already, OSError is raised."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            try:
                if self._failure is None:
                    self._put(self._log.seal(True))
            finally:
                self._stream.close()
            if self._failure is not None and not self._failure_told:
                raise self._failed()

    def __enter__(self) -> "ReceiptLogWriter":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        # Sealed even when the block failed: the seal says which lines were written, not that all went well.
        self.close()
