"""The auditor's check of a receipt log, in the C core (``kestrel._native.LogVerifier``).

The check replays the log through one receipt guard under the boundary's key,
so a line whose tag does not match its action, a repeated line and a line out
of order are refused; a jump in the accepted sequence ids (a removed line, or
a call the boundary refused after drawing an id) is reported as a gap; a seal
line must be a writer's exact text and seal exactly the bytes before it; and
refusal lines are counted by kind. A log that rotates keys is checked under
each key its rotation lines name, given among the keys; a segment under a key
not given is reported ("unknown_key") and left unchecked. It reads the log in large pieces and keeps
at most one line of it, so its memory does not grow with the log.
"""
import collections
from dataclasses import dataclass, field
from typing import Any, BinaryIO, Callable, Counter, Dict, Iterable, NamedTuple, Optional, Sequence, Union

from ._native import LOG_READ_MAX, LogVerifier

MAX_LINE = LOG_READ_MAX
"""Bytes in the longest line read, newline excluded (a written line is under 300); a longer one is malformed."""

_CHUNK = 1 << 20

EXIT_OK, EXIT_FAILED, EXIT_UNREADABLE, EXIT_UNFINISHED = 0, 1, 2, 3


class Finding(NamedTuple):
    """One line that failed, one gap in the sequence ids, or one seal that does not hold."""

    line: int
    code: str
    """A violation type, "malformed", "seal", "gap", "after_final_seal", "torn" or "unknown_key"."""
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
    rotations: int = 0
    """Rotation lines that hold: the log went on under another key."""
    unchecked: int = 0
    """Lines under a key not given, which could not be checked."""
    first_unchecked_line: Optional[int] = None
    strict_exit: int = EXIT_FAILED
    """The exit code of ``verify-log --strict``: 0, 1, 2 (lines under a key not given) or 3 (no final seal: a
    writer that stopped without closing, vouched for through ``last_seal``)."""

    @property
    def sealed(self) -> bool:
        """True iff the log ends with a final seal that holds, and no seal line fails."""
        return self.seal == "valid"

    def ok(self, strict: bool = False) -> bool:
        """True iff no line failed and every line was checked, and with ``strict`` the log is also whole: no gap,
        and a final seal ends it."""
        return self.exit_code(strict) == EXIT_OK

    def exit_code(self, strict: bool = False) -> int:
        """The exit code of ``verify-log``: 1 if a line failed, else 2 if lines are under a key not given, else 0;
        with ``strict`` also 1 for a gap and 3 for a log without its final seal."""
        if strict:
            return self.strict_exit
        return EXIT_FAILED if self.refused else EXIT_UNREADABLE if self.unchecked else EXIT_OK


def _report(summary: Dict[str, Any]) -> LogReport:
    def line(name: str) -> Optional[int]:
        return int(summary[name]) or None

    return LogReport(lines=summary["lines"], accepted=summary["accepted"],
                     refused=collections.Counter(summary["refused"]), gaps=summary["gaps"],
                     first_bad_line=line("first_bad_line"), first_gap_line=line("first_gap_line"),
                     last_seal=line("sealed_through"), refusals=collections.Counter(summary["refusals"]),
                     trips=collections.Counter(summary["trips"]),
                     final_seal=line("final_seal_line"), after_final_seal=line("after_final_seal"),
                     torn_line=line("torn_line"), seal=summary["seal"], rotations=summary["rotations"],
                     unchecked=summary["unchecked"], first_unchecked_line=line("first_unchecked_line"),
                     strict_exit=summary["strict_verdict"])


Keys = Union[bytes, Sequence[bytes]]
"""One 32-byte key, or the keys of a log that rotates (any order)."""


def _verifier(key: Keys) -> LogVerifier:
    keys = [key] if isinstance(key, (bytes, bytearray, memoryview)) else list(key)
    if not keys:
        raise ValueError("no key given: a log is checked under the key it was written with")
    verifier = LogVerifier(keys[0])
    for more in keys[1:]:
        verifier.add_key(more)
    return verifier


def _callback(on_finding: Optional[Callable[[Finding], None]]) -> Optional[Callable[[int, str, str], None]]:
    if on_finding is None:
        return None
    tell = on_finding
    return lambda line, code, text: tell(Finding(line, code, text))


def verify_log(lines: Iterable[Union[bytes, str]], key: Keys,
               on_finding: Optional[Callable[[Finding], None]] = None) -> LogReport:
    """verify_log(lines, key, on_finding=None) -> LogReport

    Check every line of a receipt log, in order, under ``key`` (or, for a log
    that rotates keys, each of a list of keys where its rotations name it). Each failed
    line, gap and broken seal is passed to ``on_finding`` as it is found, and
    the check goes on with the next line. A line without its newline is given
    one; for a file, ``verify_log_file`` is much faster.
    """
    verifier = _verifier(key)
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


def verify_log_file(stream: BinaryIO, key: Keys, on_finding: Optional[Callable[[Finding], None]] = None) -> LogReport:
    """verify_log_file(stream, key, on_finding=None) -> LogReport

    Check a receipt log read from a binary stream to its end, as ``verify_log``
    does; a last line without its newline is reported as "torn" (a writer
    stopped in the middle of it) and not checked, whatever it holds.
    """
    verifier = _verifier(key)
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
