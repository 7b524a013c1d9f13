"""The auditor's check of a receipt log, in the C core (``kestrel._native.LogVerifier``).

The check replays the log through one receipt guard under the boundary's key,
so a line whose tag does not match its action, a repeated line and a line out
of order are refused; a jump in the accepted sequence ids (a removed line, or
a call the boundary refused after drawing an id) is reported as a gap; a seal
line must be a writer's exact text and seal exactly the bytes before it; and
refusal lines are counted by kind. It reads the log in large pieces and keeps
at most one line of it, so its memory does not grow with the log.
"""
import collections
from dataclasses import dataclass, field
from typing import BinaryIO, Callable, Counter, Dict, Iterable, NamedTuple, Optional, Union

from ._native import LOG_READ_MAX, LogVerifier

MAX_LINE = LOG_READ_MAX
"""Bytes in the longest line read, newline excluded (a written line is under 300); a longer one is malformed."""

_CHUNK = 1 << 20

EXIT_OK, EXIT_FAILED, EXIT_UNREADABLE, EXIT_UNFINISHED = 0, 1, 2, 3


class Finding(NamedTuple):
    """One line that failed, one gap in the sequence ids, or one seal that does not hold."""

    line: int
    code: str
    """A violation type, "malformed", "seal", "gap", "after_final_seal" or "torn"."""
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
    """The line of the last seal that holds, a checkpoint or the final seal."""
    refusals: Counter[str] = field(default_factory=collections.Counter)
    """Refusal lines (actions the boundary refused) by violation type."""
    trips: Counter[str] = field(default_factory=collections.Counter)
    """Trip lines (a Monitor's trips) by safety function: "SLS", "SLP", "SOS", "SS1", "SS2", "request", ..."""
    final_seal: Optional[int] = None
    """The line of the last final seal that holds."""
    after_final_seal: Optional[int] = None
    """The first line after a final seal that holds."""
    torn_line: Optional[int] = None
    """A last line without newline that is no whole line: the writer stopped in it."""
    seal: str = "missing"
    """"valid" (the log ends with a final seal that holds), "invalid" (a seal line fails) or "missing"."""
    strict_exit: int = EXIT_FAILED
    """The exit code of ``verify-log --strict``: 0, 1 or 3 (a crashed writer's log, sealed by a checkpoint)."""

    @property
    def sealed(self) -> bool:
        """True iff the log ends with a final seal that holds, and no seal line fails."""
        return self.seal == "valid"

    def ok(self, strict: bool = False) -> bool:
        """True iff no line failed, and with ``strict`` the log is also whole: no gap, and a final seal ends it."""
        return self.strict_exit == EXIT_OK if strict else not self.refused

    def exit_code(self, strict: bool = False) -> int:
        """The exit code of ``verify-log``: 0 or 1, and with ``strict`` 3 for a log sealed only by checkpoints."""
        return self.strict_exit if strict else (EXIT_OK if self.ok() else EXIT_FAILED)


def _report(summary: Dict[str, object]) -> LogReport:
    def line(name: str) -> Optional[int]:
        return summary[name] or None  # type: ignore[return-value]

    return LogReport(lines=summary["lines"], accepted=summary["accepted"],  # type: ignore[arg-type]
                     refused=collections.Counter(summary["refused"]), gaps=summary["gaps"],  # type: ignore[arg-type]
                     first_bad_line=line("first_bad_line"), first_gap_line=line("first_gap_line"),
                     last_seal=line("sealed_through"), refusals=collections.Counter(summary["refusals"]),
                     trips=collections.Counter(summary["trips"]),
                     final_seal=line("final_seal_line"), after_final_seal=line("after_final_seal"),
                     torn_line=line("torn_line"), seal=summary["seal"],  # type: ignore[arg-type]
                     strict_exit=summary["strict_verdict"])  # type: ignore[arg-type]


def _callback(on_finding: Optional[Callable[[Finding], None]]) -> Optional[Callable[[int, str, str], None]]:
    if on_finding is None:
        return None
    return lambda line, code, text: on_finding(Finding(line, code, text))


def verify_log(lines: Iterable[Union[bytes, str]], key: bytes,
               on_finding: Optional[Callable[[Finding], None]] = None) -> LogReport:
    """verify_log(lines, key, on_finding=None) -> LogReport

    Check every line of a receipt log, in order, under ``key``. Each failed
    line, gap and broken seal is passed to ``on_finding`` as it is found, and
    the check goes on with the next line. A line without its newline is given
    one; for a file, ``verify_log_file`` is much faster.
    """
    verifier = LogVerifier(key)
    tell = _callback(on_finding)
    batch = bytearray()
    for raw in lines:
        line = raw.encode("utf-8", "surrogatepass") if isinstance(raw, str) else raw
        batch += line if line.endswith(b"\n") else line + b"\n"
        if len(batch) >= _CHUNK:
            verifier.feed(batch, tell)
            batch.clear()
    verifier.feed(batch, tell)
    return _report(verifier.finish(tell))


def verify_log_file(stream: BinaryIO, key: bytes, on_finding: Optional[Callable[[Finding], None]] = None) -> LogReport:
    """verify_log_file(stream, key, on_finding=None) -> LogReport

    Check a receipt log read from a binary stream to its end, as ``verify_log``
    does; a last line without newline that is no whole line is reported as
    "torn" (a writer stopped in the middle of it), not as a failed line.
    """
    verifier = LogVerifier(key)
    tell = _callback(on_finding)
    buffer = bytearray(_CHUNK)
    view = memoryview(buffer)
    while True:
        count = stream.readinto(buffer)  # type: ignore[attr-defined]
        if not count:
            break
        verifier.feed(view[:count], tell)
    view.release()
    return _report(verifier.finish(tell))
