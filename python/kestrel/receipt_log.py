"""The receipt log: one JSON object per authorized action, and the auditor's check of it.

A line reads ``{"axis": 3, "position": 0.25, "velocity": 1.5, "receipt": "<120 hex digits>"}``
where ``receipt`` is the 60-byte wire form. The check replays the whole log
through one ``ReceiptGuard`` under the boundary's key, so a line whose tag does
not match its action, a repeated line and a line out of order are refused; a
jump in the accepted sequence ids (a removed line, or a call the boundary
refused after drawing an id) is reported as a gap.
"""
import collections
import json
import sys
from dataclasses import dataclass, field
from typing import IO, Counter, Iterable, List, Optional, Tuple, Union

from _kestrel import KestrelReceipt, KestrelViolation

from .receipts import KEY_LEN, ReceiptGuard, parse_receipt


class ReceiptLogWriter:
    """ReceiptLogWriter(stream)

    Writes one log line per authorized action to a text stream.
    """

    def __init__(self, stream: IO[str]) -> None:
        self._stream = stream

    def record(self, axis: int, position: float, velocity: float,
               receipt: Union[KestrelReceipt, bytes]) -> None:
        """record(axis, position, velocity, receipt) -> None

        Append the line of one action and the receipt the boundary returned
        for it (a ``KestrelReceipt`` or its 60-byte ``receipt_hash``).
        """
        wire = receipt.receipt_hash if isinstance(receipt, KestrelReceipt) else bytes(receipt)
        # float repr reads back to the same double, so the payload survives.
        line = json.dumps({"axis": axis, "position": position, "velocity": velocity, "receipt": wire.hex()})
        self._stream.write(line + "\n")

    def close(self) -> None:
        """Flush and close the stream."""
        self._stream.close()


@dataclass
class LogReport:
    """What ``verify_log`` found."""

    lines: int = 0
    accepted: int = 0
    refused: Counter[str] = field(default_factory=collections.Counter)
    """Refused lines by code: a violation type, or "malformed"."""
    problems: List[Tuple[int, str]] = field(default_factory=list)
    """(line number, description) of every refused or malformed line."""
    gaps: List[Tuple[int, str]] = field(default_factory=list)
    """(line number, description) of every jump in the accepted sequence ids."""

    @property
    def first_bad_line(self) -> Optional[int]:
        """The number of the first refused or malformed line, if any."""
        return self.problems[0][0] if self.problems else None

    def ok(self, strict: bool = False) -> bool:
        """True iff no line failed, and with ``strict`` no id is missing either."""
        return not self.problems and not (strict and self.gaps)


def _parse_line(text: str) -> Tuple[int, float, float, bytes]:
    """The action and receipt of one line; ValueError says what is wrong."""
    try:
        entry = json.loads(text)
    except ValueError as error:
        raise ValueError(f"not JSON ({error})") from None
    if not isinstance(entry, dict):
        raise ValueError("not a JSON object")
    missing = [k for k in ("axis", "position", "velocity", "receipt") if k not in entry]
    if missing:
        raise ValueError("missing " + ", ".join(missing))
    axis, position, velocity, receipt = entry["axis"], entry["position"], entry["velocity"], entry["receipt"]
    if type(axis) is not int or not -(2**31) <= axis < 2**31:
        raise ValueError("axis is not a 32-bit integer")
    if not all(type(v) in (int, float) for v in (position, velocity)):
        raise ValueError("position or velocity is not a number")
    try:
        wire = bytes.fromhex(receipt) if isinstance(receipt, str) else None
    except ValueError:
        wire = None
    if wire is None or len(wire) != 60:
        raise ValueError("receipt is not 60 bytes in hex")
    return axis, float(position), float(velocity), wire


def verify_log(lines: Iterable[Union[bytes, str]], key: bytes) -> LogReport:
    """verify_log(lines, key) -> LogReport

    Check every line of a receipt log, in order, with one ``ReceiptGuard``
    under ``key``. A malformed line is reported with its number and the check
    goes on with the next.
    """
    guard = ReceiptGuard(key)
    report = LogReport()
    last_id, last_line = 0, 0
    for number, raw in enumerate(lines, start=1):
        report.lines += 1
        try:
            text = raw.decode("utf-8") if isinstance(raw, bytes) else raw
            axis, position, velocity, wire = _parse_line(text)
        except ValueError as error:  # UnicodeDecodeError included
            report.refused["malformed"] += 1
            report.problems.append((number, f"malformed: {error}"))
            continue
        sequence_id = parse_receipt(wire).sequence_id
        try:
            guard.check(wire, axis, position, velocity)
        except KestrelViolation as refusal:
            report.refused[refusal.violation_type] += 1
            report.problems.append((number, f"{refusal.violation_type}: sequence id {sequence_id}, "
                                            f"after {last_id} accepted ({refusal.message})"))
            continue
        report.accepted += 1
        if sequence_id != last_id + 1:
            where = f"after line {last_line} (id {last_id})" if last_line else "at the start"
            report.gaps.append((number, f"ids {last_id + 1}..{sequence_id - 1} missing {where}, "
                                        f"before line {number} (id {sequence_id})"))
        last_id, last_line = sequence_id, number
    return report


def print_report(report: LogReport, strict: bool, out: IO[str] = sys.stdout) -> None:
    for number, text in sorted(report.problems + report.gaps):
        out.write(f"line {number}: {text}\n")
    refused = ", ".join(f"{code}={n}" for code, n in sorted(report.refused.items())) or "none"
    out.write(f"lines: {report.lines}\naccepted: {report.accepted}\nrefused: {refused}\n"
              f"gaps: {len(report.gaps)}\n")
    # Under --strict a gap fails the log too, so it counts as a bad line.
    bad = [n for n, _ in report.problems + (report.gaps if strict else [])]
    if bad:
        out.write(f"first bad line: {min(bad)}\n")
    out.write(f"result: {'OK' if report.ok(strict) else 'FAILED'}\n")


def read_key_file(path: str) -> bytes:
    """The 32 raw bytes of a key file; ValueError if it holds another number of bytes."""
    with open(path, "rb") as f:
        key = f.read(KEY_LEN + 1)
    if len(key) != KEY_LEN:
        raise ValueError(f"{path}: a key file holds exactly {KEY_LEN} bytes")
    return key


def run_verify_log(key_file: str, log_file: str, strict: bool) -> int:
    """The ``verify-log`` command: 0 if the log checks out, 1 if not, 2 if it cannot be read."""
    try:
        key = read_key_file(key_file)
        with open(log_file, "rb") as f:
            report = verify_log(f.read().splitlines(), key)
    except (OSError, ValueError) as error:
        print(f"verify-log: {error}", file=sys.stderr)
        return 2
    print_report(report, strict)
    return 0 if report.ok(strict) else 1
