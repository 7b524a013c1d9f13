"""The command line of ``python3 -m kestrel``."""
import argparse
import os
import sys
from typing import IO, List, Optional

from . import _limits_command
from .receipt_log import Finding, LogReport, read_key_file, read_log_lines, verify_log


def print_report(report: LogReport, strict: bool, key_file: str, out: IO[str]) -> None:
    """The summary after the findings: counts, the seal, a hint when the key looks wrong, the result."""
    refused = ", ".join(f"{code}={n}" for code, n in sorted(report.refused.items())) or "none"
    out.write(f"lines: {report.lines}\naccepted: {report.accepted}\nrefused: {refused}\ngaps: {report.gaps}\n")
    if report.sealed:
        out.write(f"seal: line {report.lines} seals the {report.lines - 1} lines before it\n")
    else:
        after = f" (lines {report.last_seal + 1}..{report.lines} follow the last seal)" if report.last_seal else ""
        out.write(f"seal: missing{after}; a log cut short cannot be told from a whole one"
                  f"{'' if strict else ' (an error only with --strict)'}\n")
    if not report.accepted and report.refused["authentication_failure"]:
        out.write(f"hint: not one line verifies; the key may be wrong (is {key_file} the key the log was "
                  f"written with?)\n")
    # Under --strict a gap fails the log too, so it counts as a bad line.
    bad = [n for n in (report.first_bad_line, report.first_gap_line if strict else None) if n is not None]
    if bad:
        out.write(f"first bad line: {min(bad)}\n")
    out.write(f"result: {'OK' if report.ok(strict) else 'FAILED'}\n")


def run_verify_log(key_file: str, log_file: str, strict: bool) -> int:
    """The ``verify-log`` command: 0 if the log checks out, 1 if not, 2 if it cannot be checked to the end."""
    out = sys.stdout

    def show(finding: Finding) -> None:
        out.write(f"line {finding.line}: {finding.text}\n")

    try:
        key = read_key_file(key_file)
        with open(log_file, "rb") as f:
            report = verify_log(read_log_lines(f), key, show)
        print_report(report, strict, key_file, out)
        out.flush()
    except BrokenPipeError:
        # The reader left (`| head`): nobody is told, and the exit flush must not fail either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
        return 2
    except (OSError, ValueError) as error:
        print(f"verify-log: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("verify-log: interrupted", file=sys.stderr)
        return 2
    return 0 if report.ok(strict) else 1


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m kestrel", description="Kestrel tools.")
    commands = parser.add_subparsers(dest="command", required=True)
    verify = commands.add_parser("verify-log", help="check a receipt log against the boundary key",
                                 description="Check every line of a receipt log (tags, replay order and the "
                                             "seal) and exit 1 if any line fails, 2 if it cannot be checked.")
    verify.add_argument("--key-file", required=True, metavar="KEY",
                        help="file holding the 32-byte key, readable by its owner only")
    verify.add_argument("--strict", action="store_true",
                        help="a gap in the sequence ids or a missing seal is a failure too")
    verify.add_argument("log", metavar="FILE", help="the receipt log, one JSON object per line")
    _limits_command.add_parser(commands)
    args = parser.parse_args(argv)
    if args.command == "limits":
        return _limits_command.run(args, parser)
    return run_verify_log(args.key_file, args.log, args.strict)
