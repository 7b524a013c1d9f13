"""The receipt log: one line per authorized action, sealed when closed, and the auditor's check of it.

``ReceiptLogWriter`` writes the lines (their format is in ``_log_format``). The
check replays the log through one ``ReceiptGuard`` under the boundary's key,
so a line whose tag does not match its action, a repeated line and a line out
of order are refused; a jump in the accepted sequence ids (a removed line, or
a call the boundary refused after drawing an id) is reported as a gap; and a
seal line must seal exactly the lines before it. The check reads one line at a
time and keeps nothing per line, so its memory does not grow with the log.
"""
import collections
import operator
import threading
from dataclasses import dataclass, field
from types import TracebackType
from typing import IO, BinaryIO, Callable, Counter, Iterable, Iterator, NamedTuple, Optional, Type, Union

from _kestrel import KestrelReceipt, KestrelViolation

# The package binds these before it imports this module.
from . import ReceiptGuard, parse_receipt
from ._native import read_key_file as _read_key_file
from ._log_format import MAX_LINE, Record, Sealer, format_record, parse_line

KEY_LEN = 32


def _key(key: object) -> bytes:
    if not isinstance(key, (bytes, bytearray, memoryview)):
        raise TypeError(f"key must be a bytes-like object, not {type(key).__name__!r}")
    if len(key) != KEY_LEN:
        raise ValueError(f"key must be exactly {KEY_LEN} bytes")
    return bytes(key)


class ReceiptLogWriter:
    """ReceiptLogWriter(stream, key)

    Writes one log line per authorized action to a text stream and, when
    closed, a seal line signed with ``key`` (the boundary's 32-byte key) over
    every line before it, so that a log cut short or with lines removed fails
    ``verify-log --strict``. A context manager: leaving the ``with`` block
    closes it. One writer per log; safe to share between threads.
    """

    def __init__(self, stream: IO[str], key: bytes) -> None:
        self._sealer = Sealer(_key(key))
        self._stream = stream
        self._lock = threading.Lock()
        self._closed = False

    def record(self, axis: int, position: float, velocity: float,
               receipt: Union[KestrelReceipt, bytes]) -> None:
        """record(axis, position, velocity, receipt) -> None

        Append the line of one action and the receipt the boundary returned
        for it (a ``KestrelReceipt`` or its 60-byte ``receipt_hash``).
        Position and velocity are kept bit for bit, NaN included.
        """
        wire = receipt.receipt_hash if isinstance(receipt, KestrelReceipt) else bytes(memoryview(receipt))
        line = format_record(operator.index(axis), float(position), float(velocity), wire)
        with self._lock:
            if self._closed:
                raise ValueError("record() on a closed ReceiptLogWriter")
            self._stream.write(line + "\n")
            self._sealer.add(line.encode("ascii"))

    def close(self) -> None:
        """Append the seal line, then flush and close the stream. Closing again does nothing."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            try:
                self._stream.write(self._sealer.seal_line() + "\n")
            finally:
                self._stream.close()

    def __enter__(self) -> "ReceiptLogWriter":
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        # Sealed even when the block failed: the seal says which lines were written, not that all went well.
        self.close()


class Finding(NamedTuple):
    """One line that failed, one gap in the sequence ids, or one seal that does not hold."""

    line: int
    code: str
    """A violation type, "malformed", "seal" or "gap"."""
    text: str


@dataclass
class LogReport:
    """What ``verify_log`` found, in counts (each finding went to its ``on_finding``)."""

    lines: int = 0
    accepted: int = 0
    refused: Counter[str] = field(default_factory=collections.Counter)
    """Failed lines by code: a violation type, "malformed" or "seal"."""
    gaps: int = 0
    first_bad_line: Optional[int] = None
    first_gap_line: Optional[int] = None
    last_seal: Optional[int] = None
    """The line of the last seal that holds."""

    @property
    def sealed(self) -> bool:
        """True iff the log ends with a seal that holds."""
        return self.last_seal is not None and self.last_seal == self.lines

    def ok(self, strict: bool = False) -> bool:
        """True iff no line failed, and with ``strict`` no id is missing and the log is sealed."""
        return not self.refused and not (strict and (self.gaps or not self.sealed))


def read_log_lines(stream: BinaryIO) -> Iterator[bytes]:
    """The lines of a binary stream, each cut at ``MAX_LINE + 1`` bytes, so that no line fills the memory."""
    while True:
        line = stream.readline(MAX_LINE + 1)
        if not line:
            return
        yield line  # before skipping the rest, so that an endless line is reported at once
        rest = line
        while len(rest) > MAX_LINE and not rest.endswith(b"\n"):
            rest = stream.readline(1 << 16)


def _content(raw: Union[bytes, str]) -> bytes:
    if isinstance(raw, str):
        raw = raw.encode("utf-8", "surrogatepass")
    if raw.endswith(b"\n"):
        raw = raw[:-1]
    return raw[:-1] if raw.endswith(b"\r") else raw


def verify_log(lines: Iterable[Union[bytes, str]], key: bytes,
               on_finding: Optional[Callable[[Finding], None]] = None) -> LogReport:
    """verify_log(lines, key, on_finding=None) -> LogReport

    Check every line of a receipt log, in order, with one ``ReceiptGuard``
    under ``key``, and every seal line against the lines before it. Each
    failed line, gap and broken seal is passed to ``on_finding`` as it is
    found, and the check goes on with the next line. ``lines`` may hold their
    newlines; give ``read_log_lines(file)`` for a file.
    """
    guard = ReceiptGuard(key)
    sealer = Sealer(_key(key))
    report = LogReport()
    tell = on_finding or (lambda finding: None)
    last_id = last_line = 0

    def refuse(number: int, code: str, text: str) -> None:
        report.refused[code] += 1
        if report.first_bad_line is None:
            report.first_bad_line = number
        tell(Finding(number, code, text))

    for number, raw in enumerate(lines, start=1):
        report.lines = number
        content = _content(raw)
        try:
            entry = parse_line(content)
        except ValueError as error:
            refuse(number, "malformed", f"malformed: {error}")
            sealer.add(content)
            continue
        if not isinstance(entry, Record):
            problem = sealer.problem(entry)
            if problem:
                refuse(number, "seal", f"seal: {problem}")
            else:
                report.last_seal = number
            sealer.add(content)
            continue
        sealer.add(content)
        sequence_id = parse_receipt(entry.receipt).sequence_id
        try:
            guard.check(entry.receipt, entry.axis, entry.position, entry.velocity)
        except KestrelViolation as refusal:
            why = refusal.violation_type
            lost = entry.bare_nan and why == "authentication_failure"
            refuse(number, why, f"{why}: sequence id {sequence_id}, after {last_id} accepted ({refusal.message})"
                                + ("; a bare NaN of an older writer lost its bits" if lost else ""))
            continue
        report.accepted += 1
        if sequence_id != last_id + 1:
            report.gaps += 1
            if report.first_gap_line is None:
                report.first_gap_line = number
            where = f"after line {last_line} (id {last_id})" if last_line else "at the start"
            tell(Finding(number, "gap", f"ids {last_id + 1}..{sequence_id - 1} missing {where}, "
                                        f"before line {number} (id {sequence_id})"))
        last_id, last_line = sequence_id, number
    return report


def read_key_file(path: str) -> bytes:
    """The 32 raw bytes of a key file, by the library's one rule (kestrel_key_file_read); ValueError naming the fix."""
    return _read_key_file(path)
