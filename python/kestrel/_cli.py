"""The command line of ``python3 -m kestrel``."""
import argparse
import concurrent.futures
import json
import os
import sys
from typing import IO, Any, Dict, List, Optional, Tuple

from . import _limits_command
from ._key_commands import add_commands as add_key_commands
from .key_file import read_key_file
from .log_audit import EXIT_FAILED, EXIT_OK, EXIT_UNFINISHED, EXIT_UNREADABLE, Finding, LogReport, verify_log_file

# The exit codes from best to worst: the run's is the worst of its files'.
_RANK = {EXIT_OK: 0, EXIT_UNFINISHED: 1, EXIT_FAILED: 2, EXIT_UNREADABLE: 3}
_RESULT = {EXIT_OK: "OK", EXIT_UNFINISHED: "UNFINISHED", EXIT_FAILED: "FAILED", EXIT_UNREADABLE: "UNREADABLE"}
# Findings kept per file when several are checked: the first ones say what went wrong.
_FINDINGS_PER_FILE = 10


def counts(counter: Dict[str, int]) -> str:
    return ", ".join(f"{code}={n}" for code, n in sorted(counter.items())) or "none"


def seal_summary(report: LogReport, strict: bool) -> str:
    """The seal line of the summary: valid, invalid or missing, and what that means for the log."""
    if report.seal == "valid":
        return f"valid: line {report.lines} seals the {report.lines - 1} lines before it"
    if report.seal == "invalid":
        return "invalid: a seal line does not hold (see the lines above)"
    if report.last_seal and not report.final_seal:
        return (f"missing: no final seal; sealed through line {report.last_seal} by a checkpoint, "
                f"{report.lines - report.last_seal} lines follow unsealed (the writer stopped before closing)")
    after = f" (lines {report.last_seal + 1}..{report.lines} follow the last seal)" if report.last_seal else ""
    return (f"missing{after}; a log cut short cannot be told from a whole one"
            f"{'' if strict else ' (an error only with --strict)'}")


def print_report(report: LogReport, strict: bool, key_file: str, out: IO[str]) -> None:
    """The summary after the findings: counts, the seal, a hint when the key looks wrong, the result."""
    out.write(f"lines: {report.lines}\naccepted: {report.accepted}\nrefused: {counts(report.refused)}\n"
              f"refusals: {counts(report.refusals)}\ntrips: {counts(report.trips)}\ngaps: {report.gaps}\n"
              f"seal: {seal_summary(report, strict)}\n")
    if not report.accepted and report.refused["authentication_failure"]:
        out.write(f"hint: not one line verifies; the key may be wrong (is {key_file} the key the log was "
                  f"written with?)\n")
    # Under --strict a gap or a line after the final seal fails the log too, so it counts as a bad line.
    strict_bad = (report.first_gap_line, report.after_final_seal) if strict else ()
    bad = [n for n in (report.first_bad_line, *strict_bad) if n is not None]
    if bad:
        out.write(f"first bad line: {min(bad)}\n")
    out.write(f"result: {_RESULT[report.exit_code(strict)]}\n")


def log_files(paths: List[str]) -> List[str]:
    """The files named, and every *.jsonl under the directories named, in a stable order, each once."""
    found: Dict[str, None] = {}
    for path in paths:
        if os.path.isdir(path):
            found.update(dict.fromkeys(sorted(os.path.join(top, name) for top, _, names in os.walk(path)
                                              for name in names if name.endswith(".jsonl"))))
        else:
            found[path] = None
    return list(found)


def check_file(path: str, key_file: str, strict: bool) -> Dict[str, Any]:
    """One file's result as plain data (for another process or a dask worker): counts, findings, exit code."""
    findings: List[Tuple[int, str]] = []
    more = [0]

    def keep(finding: Finding) -> None:
        if len(findings) < _FINDINGS_PER_FILE:
            findings.append((finding.line, finding.text))
        else:
            more[0] += 1

    try:
        key = read_key_file(key_file)
        with open(path, "rb") as f:
            report = verify_log_file(f, key, keep)
    except (OSError, ValueError) as error:
        return {"file": path, "exit": EXIT_UNREADABLE, "error": str(error)}
    return {"file": path, "exit": report.exit_code(strict), "lines": report.lines, "accepted": report.accepted,
            "refused": dict(report.refused), "refusals": dict(report.refusals), "trips": dict(report.trips),
            "gaps": report.gaps,
            "seal": report.seal, "sealed_through": report.last_seal, "first_bad_line": report.first_bad_line,
            "findings": findings, "more_findings": more[0]}


def _run_local(files: List[str], key_file: str, strict: bool, jobs: int) -> List[Dict[str, Any]]:
    if jobs <= 1 or len(files) <= 1:
        return [check_file(path, key_file, strict) for path in files]
    with concurrent.futures.ProcessPoolExecutor(max_workers=min(jobs, len(files))) as pool:
        return list(pool.map(check_file, files, [key_file] * len(files), [strict] * len(files)))


def _run_dask(files: List[str], key_file: str, strict: bool, address: str) -> List[Dict[str, Any]]:
    try:
        from distributed import Client
    except ImportError:
        raise RuntimeError("--scheduler needs dask.distributed (Debian: apt install python3-distributed)") from None
    try:
        client = Client(address, timeout="5s")
    except Exception as error:  # dask's own errors as well as the network's
        raise RuntimeError(f"cannot reach the dask scheduler at {address}: {error}") from None
    # Each worker reads the key file and the log from its own file system: the key never travels.
    with client:
        try:
            return client.gather(client.map(check_file, files, key_file=key_file, strict=strict, pure=False))
        except Exception as error:
            raise RuntimeError(f"the dask cluster at {address} did not finish the check: {error}") from None


def total(results: List[Dict[str, Any]]) -> Dict[str, Any]:
    whole: Dict[str, Any] = {"files": len(results), "lines": 0, "accepted": 0, "gaps": 0,
                             "refused": {}, "refusals": {}, "trips": {}, "exit": EXIT_OK}
    for result in results:
        for name in ("lines", "accepted", "gaps"):
            whole[name] += result.get(name, 0)
        for name in ("refused", "refusals", "trips"):
            for code, n in result.get(name, {}).items():
                whole[name][code] = whole[name].get(code, 0) + n
        whole["exit"] = max(whole["exit"], result["exit"], key=_RANK.__getitem__)
    return whole


def print_fleet(results: List[Dict[str, Any]], whole: Dict[str, Any], out: IO[str]) -> None:
    """One line per file (after its first findings) and a total."""
    for r in results:
        if "error" in r:
            out.write(f"{r['file']}: {_RESULT[r['exit']]}: {r['error']}\n")
            continue
        for line, text in r["findings"]:
            out.write(f"{r['file']}: line {line}: {text}\n")
        if r["more_findings"]:
            out.write(f"{r['file']}: {r['more_findings']} more findings\n")
        out.write(f"{r['file']}: {_RESULT[r['exit']]}: lines {r['lines']}, accepted {r['accepted']}, "
                  f"refused {counts(r['refused'])}, refusals {counts(r['refusals'])}, trips {counts(r['trips'])}, "
                  f"gaps {r['gaps']}, "
                  f"seal {r['seal']}\n")
    out.write(f"total: {_RESULT[whole['exit']]}: {whole['files']} files, lines {whole['lines']}, "
              f"accepted {whole['accepted']}, refused {counts(whole['refused'])}, "
              f"refusals {counts(whole['refusals'])}, trips {counts(whole['trips'])}, gaps {whole['gaps']}\n")


def run_verify_log(key_file: str, logs: List[str], strict: bool, jobs: Optional[int] = None,
                   scheduler: Optional[str] = None, as_json: bool = False) -> int:
    """The ``verify-log`` command: 0 if the logs check out, 1 if not, 2 if one cannot be checked to the end,
    and with ``strict`` 3 for a log sealed only up to a checkpoint; several files give the worst of theirs."""
    out = sys.stdout

    def show(finding: Finding) -> None:
        out.write(f"line {finding.line}: {finding.text}\n")

    try:
        read_key_file(key_file)  # a key that cannot be used stops the run before any file
        files = log_files(logs)
        if not files:
            raise ValueError(f"no *.jsonl log in {', '.join(logs)}")
        if len(files) == 1 and not as_json and scheduler is None and not os.path.isdir(logs[0]):
            with open(files[0], "rb") as f:
                report = verify_log_file(f, read_key_file(key_file), show)
            print_report(report, strict, key_file, out)
            out.flush()
            return report.exit_code(strict)
        if scheduler is not None:
            results = _run_dask(files, key_file, strict, scheduler)
        else:
            results = _run_local(files, key_file, strict, jobs or os.cpu_count() or 1)
        whole = total(results)
        if as_json:
            json.dump({"files": results, "total": whole}, out, indent=1)
            out.write("\n")
        else:
            print_fleet(results, whole, out)
        out.flush()
        return whole["exit"]
    except BrokenPipeError:
        # The reader left (`| head`): nobody is told, and the exit flush must not fail either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
        return EXIT_UNREADABLE
    except (OSError, ValueError, RuntimeError) as error:
        print(f"verify-log: {error}", file=sys.stderr)
        return EXIT_UNREADABLE
    except KeyboardInterrupt:
        print("verify-log: interrupted", file=sys.stderr)
        return EXIT_UNREADABLE


def version_text() -> str:
    """What ``--version`` prints: the package (with its native modules, built with it) and the extension module."""
    import _kestrel
    from . import __file__ as package_file, __version__
    return (f"kestrel {__version__} ({os.path.dirname(package_file)})\n"
            f"_kestrel {_kestrel.__version__} ({_kestrel.__file__})")


class _PrintVersion(argparse.Action):
    """--version, printed line by line (argparse's own action would rewrap the paths)."""

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        print(version_text())
        parser.exit()


def _run_verify(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    return run_verify_log(args.key_file, args.log, args.strict, args.jobs, args.scheduler, args.json)


def _add_verify_parser(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    verify = commands.add_parser(
        "verify-log", help="check receipt logs against the boundary key",
        description="Check every line of receipt logs (tags, replay order, refusals and the seals) and exit 1 if "
                    "any line fails, 2 if a log cannot be checked; with --strict, 3 for a log sealed only up to a "
                    "checkpoint (its writer stopped before closing it). With several logs: the worst of theirs.")
    verify.add_argument("--key-file", required=True, metavar="KEY",
                        help="file holding the 32-byte key, readable by its owner only")
    verify.add_argument("--strict", action="store_true",
                        help="a gap in the sequence ids or a missing final seal is a failure too")
    verify.add_argument("--jobs", type=int, metavar="N", help="check N files at once (processes; default: the CPUs)")
    verify.add_argument("--scheduler", metavar="ADDRESS",
                        help="check the files on a dask.distributed cluster, one task per file")
    verify.add_argument("--json", action="store_true", help="the results as JSON")
    verify.add_argument("log", metavar="FILE", nargs="+",
                        help="a receipt log (one JSON object per line), or a directory of *.jsonl logs")
    verify.set_defaults(run=_run_verify)


def main(argv: Optional[List[str]] = None) -> int:
    """Every subcommand registers its ``run(args, parser)``, which returns the exit code."""
    parser = argparse.ArgumentParser(prog="python3 -m kestrel", description="Kestrel tools (also installed as the "
                                                                            "command `kestrel`).")
    parser.add_argument("--version", action=_PrintVersion, nargs=0,
                        help="print the versions of the package and of the extension module, and where each is")
    commands = parser.add_subparsers(dest="command", required=True)
    _add_verify_parser(commands)
    add_key_commands(commands)
    _limits_command.add_parser(commands)
    args = parser.parse_args(argv)
    return int(args.run(args, parser))
