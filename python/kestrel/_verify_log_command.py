"""``python3 -m kestrel verify-log``: receipt logs checked against the boundary's keys, one file or a fleet."""
import argparse
import concurrent.futures
import json
import os
import sys
import time
from typing import IO, Any, Dict, List, Optional, Tuple

from .key_file import read_key_file
from .log_audit import EXIT_FAILED, EXIT_OK, EXIT_UNFINISHED, EXIT_UNREADABLE, Finding, LogReport, verify_log_file

# The exit codes from best to worst: the run's is the worst of its files'.
_RANK = {EXIT_OK: 0, EXIT_UNFINISHED: 1, EXIT_FAILED: 2, EXIT_UNREADABLE: 3}
_RESULT = {EXIT_OK: "OK", EXIT_UNFINISHED: "UNFINISHED", EXIT_FAILED: "FAILED", EXIT_UNREADABLE: "UNCHECKED"}
# Findings shown per file unless --all: the first ones say what went wrong, and a log checked with the wrong key
# would otherwise print one line per line of the log.
_FINDINGS_SHOWN = 20
# How long --scheduler waits, in all, for the cluster to take the work and return every file's result.
DEFAULT_TIMEOUT = 300.0


def counts(counter: Dict[str, int]) -> str:
    return ", ".join(f"{code}={n}" for code, n in sorted(counter.items())) or "none"


def read_keys(key_files: List[str]) -> List[bytes]:
    """The keys of the files, in order; ValueError naming the file and where its key should come from."""
    keys = []
    for path in key_files:
        try:
            keys.append(read_key_file(path))
        except ValueError as error:
            if not os.path.lexists(path):
                raise ValueError(f"{error}; give the file of the key the log was written with (the boundary's key "
                                 f"at the time)") from None
            raise
    return keys


def key_names(key_files: List[str]) -> str:
    return ", ".join(key_files)


def seal_summary(report: LogReport, strict: bool) -> str:
    """The seal line of the summary: valid, invalid or missing, and what that means for the log."""
    if report.seal == "valid":
        return f"valid: line {report.lines} seals the {report.lines - 1} lines before it"
    if report.seal == "invalid":
        return "invalid: a seal line does not hold (see the lines above)"
    sealed = (f"sealed through line {report.last_seal} by a checkpoint, {report.lines - report.last_seal} lines "
              f"follow unsealed" if report.last_seal else f"no line is sealed, {report.lines} lines in all")
    why = (", the last of them torn (the writer stopped in the middle of it)" if report.torn_line else
           " (the writer stopped before closing, or the log was cut)")
    return f"missing: no final seal; {sealed}{why}{'' if strict else ' (an error only with --strict)'}"


def hint(report: LogReport, key_files: List[str]) -> Optional[str]:
    """The likely cause when not one record verifies: the key."""
    if report.accepted or not report.refused.get("authentication_failure"):
        return None
    return (f"not one line verifies; the key may be wrong (is {key_names(key_files)} the key the log was written "
            f"with?)")


def check_file(path: str, key_files: List[str], strict: bool, show_all: bool = False,
               name: Optional[str] = None) -> Dict[str, Any]:
    """One file's result as plain data (for another process or a dask worker): the hint, the first findings (all
    with ``show_all``), the counts and the exit code. ``name`` is the file as the user named it."""
    findings: List[Tuple[int, str]] = []
    more = [0]

    def keep(finding: Finding) -> None:
        if show_all or len(findings) < _FINDINGS_SHOWN:
            findings.append((finding.line, finding.text))
        else:
            more[0] += 1

    shown = name or path
    try:
        keys = read_keys(key_files)
        with open(path, "rb") as f:
            report = verify_log_file(f, keys, keep)
    except (OSError, ValueError) as error:
        return {"file": shown, "exit": EXIT_UNREADABLE, "error": str(error)}
    return {"file": shown, "exit": report.exit_code(strict), "hint": hint(report, key_files), "lines": report.lines,
            "accepted": report.accepted, "failed": dict(report.refused), "refusals": dict(report.refusals),
            "trips": dict(report.trips), "gaps": report.gaps, "rotations": report.rotations, "unchecked": report.unchecked,
            "first_unchecked_line": report.first_unchecked_line, "seal": report.seal,
            "sealed_through": report.last_seal, "torn_line": report.torn_line,
            "first_bad_line": report.first_bad_line, "first_gap_line": report.first_gap_line,
            "after_final_seal": report.after_final_seal, "findings": findings, "more_findings": more[0],
            "summary": summary_text(report, strict)}


def summary_text(report: LogReport, strict: bool) -> str:
    """The summary after the findings: counts, the seal, the result."""
    text = (f"lines: {report.lines}\naccepted: {report.accepted}\nfailed: {counts(report.refused)}\n"
            f"refusals: {counts(report.refusals)}\ntrips: {counts(report.trips)}\ngaps: {report.gaps}\n")
    if report.rotations or report.unchecked:
        text += f"rotations: {report.rotations}\n"
    if report.unchecked:
        text += (f"unchecked: {report.unchecked} lines from line {report.first_unchecked_line} on, under a key not "
                 f"given (see above)\n")
    text += f"seal: {seal_summary(report, strict)}\n"
    # Under --strict a gap or a line after the final seal fails the log too, so it counts as a bad line.
    strict_bad = (report.first_gap_line, report.after_final_seal) if strict else ()
    bad = [n for n in (report.first_bad_line, *strict_bad) if n is not None]
    if bad:
        text += f"first bad line: {min(bad)}\n"
    return text + f"result: {_RESULT[report.exit_code(strict)]}\n"


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


def _run_local(files: List[str], key_files: List[str], strict: bool, show_all: bool,
               jobs: int) -> List[Dict[str, Any]]:
    if jobs <= 1 or len(files) <= 1:
        return [check_file(path, key_files, strict, show_all) for path in files]
    n = len(files)
    with concurrent.futures.ProcessPoolExecutor(max_workers=min(jobs, n)) as pool:
        return list(pool.map(check_file, files, [key_files] * n, [strict] * n, [show_all] * n))


def _worker_ready() -> bool:
    """Run on each dask worker before any file: it unpickles only where ``kestrel`` imports."""
    return True


def _run_dask(files: List[str], key_files: List[str], strict: bool, show_all: bool, address: str,
              timeout: float) -> List[Dict[str, Any]]:
    try:
        from distributed import Client, wait
    except ImportError:
        raise RuntimeError("--scheduler needs dask.distributed (Debian: apt install python3-distributed)") from None
    deadline = time.monotonic() + timeout

    def left() -> float:
        return max(deadline - time.monotonic(), 0.1)

    try:
        client = Client(address, timeout=f"{min(timeout, 10.0)}s")
    except Exception as error:  # dask's own errors as well as the network's
        raise RuntimeError(f"cannot reach the dask scheduler at {address}: {error}") from None
    # Each worker reads the key files and the logs from its own file system, at the absolute paths the client
    # names: the key never travels.
    where = [os.path.abspath(path) for path in files]
    key_paths = [os.path.abspath(path) for path in key_files]
    with client:
        try:
            client.wait_for_workers(1, timeout=left())
        except Exception:
            raise RuntimeError(f"no worker joined the dask scheduler at {address} within {timeout:g} s; start one "
                               f"with: dask worker {address}") from None
        ready = client.run(_worker_ready, on_error="return")
        lacking = {worker: answer for worker, answer in ready.items() if answer is not True}
        if lacking:
            worker, answer = sorted(lacking.items())[0]
            raise RuntimeError(f"{len(lacking)} of {len(ready)} workers of the dask cluster at {address} cannot run "
                               f"the check, {worker} for one: {answer!r}; every worker needs the kestrel package, "
                               f"and the key files and logs at the same paths")
        futures = [client.submit(check_file, path, key_paths, strict, show_all, name, pure=False)
                   for path, name in zip(where, files)]
        try:
            wait(futures, timeout=left())
        except Exception:
            done = sum(future.done() for future in futures)
            raise RuntimeError(f"the dask cluster at {address} did not finish the check within {timeout:g} s "
                               f"({done} of {len(futures)} files done); raise --timeout, or add workers") from None
        failed = [future for future in futures if future.status == "error"]
        if failed:
            raise RuntimeError(f"the dask cluster at {address} failed {len(failed)} of {len(futures)} files, the "
                               f"first with: {failed[0].exception()!r}")
        return client.gather(futures)


def total(results: List[Dict[str, Any]]) -> Dict[str, Any]:
    whole: Dict[str, Any] = {"files": len(results), "lines": 0, "accepted": 0, "gaps": 0, "unchecked": 0,
                             "failed": {}, "refusals": {}, "trips": {}, "exit": EXIT_OK}
    for result in results:
        for name in ("lines", "accepted", "gaps", "unchecked"):
            whole[name] += result.get(name, 0)
        for name in ("failed", "refusals", "trips"):
            for code, n in result.get(name, {}).items():
                whole[name][code] = whole[name].get(code, 0) + n
        whole["exit"] = max(whole["exit"], result["exit"], key=_RANK.__getitem__)
    return whole


def _result_name(result: Dict[str, Any]) -> str:
    return "UNREADABLE" if "error" in result else _RESULT[result["exit"]]


def print_findings(result: Dict[str, Any], out: IO[str], prefix: str = "") -> None:
    """A file's hint first, then its findings, then how many more there were."""
    if result["hint"]:
        out.write(f"{prefix}hint: {result['hint']}\n")
    for line, text in result["findings"]:
        out.write(f"{prefix}line {line}: {text}\n")
    if result["more_findings"]:
        out.write(f"{prefix}... and {result['more_findings']} more findings (--all shows every one)\n")


def print_fleet(results: List[Dict[str, Any]], whole: Dict[str, Any], out: IO[str]) -> None:
    """One line per file (after its hint and first findings) and a total."""
    for r in results:
        if "error" in r:
            out.write(f"{r['file']}: {_result_name(r)}: {r['error']}\n")
            continue
        print_findings(r, out, f"{r['file']}: ")
        unchecked = f", unchecked {r['unchecked']}" if r["unchecked"] else ""
        out.write(f"{r['file']}: {_result_name(r)}: lines {r['lines']}, accepted {r['accepted']}, "
                  f"failed {counts(r['failed'])}, refusals {counts(r['refusals'])}, trips {counts(r['trips'])}, "
                  f"gaps {r['gaps']}{unchecked}, "
                  f"seal {r['seal']}\n")
    out.write(f"total: {_RESULT[whole['exit']]}: {whole['files']} files, lines {whole['lines']}, "
              f"accepted {whole['accepted']}, failed {counts(whole['failed'])}, "
              f"refusals {counts(whole['refusals'])}, trips {counts(whole['trips'])}, gaps {whole['gaps']}\n")


def run_verify_log(key_files: List[str], logs: List[str], strict: bool, jobs: Optional[int] = None,
                   scheduler: Optional[str] = None, as_json: bool = False, show_all: bool = False,
                   timeout: float = DEFAULT_TIMEOUT) -> int:
    """The ``verify-log`` command: 0 if the logs check out, 1 if not, 2 if one cannot be checked to the end (or
    holds lines under a key not given), and with ``strict`` 3 for a log without its final seal; several files
    give the worst of theirs."""
    out = sys.stdout
    try:
        read_keys(key_files)  # a key that cannot be used stops the run before any file
        files = log_files(logs)
        if not files:
            raise ValueError(f"no *.jsonl log in {', '.join(logs)}")
        if len(files) == 1 and not as_json and scheduler is None and not os.path.isdir(logs[0]):
            result = check_file(files[0], key_files, strict, show_all)
            if "error" in result:
                raise ValueError(result["error"])
            print_findings(result, out)
            out.write(result["summary"])
            out.flush()
            return int(result["exit"])
        if scheduler is not None:
            results = _run_dask(files, key_files, strict, show_all, scheduler, timeout)
        else:
            results = _run_local(files, key_files, strict, show_all, jobs or os.cpu_count() or 1)
        whole = total(results)
        if as_json:
            json.dump({"files": results, "total": whole}, out, indent=1)
            out.write("\n")
        else:
            print_fleet(results, whole, out)
        out.flush()
        return int(whole["exit"])
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


def _run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if not args.timeout > 0:
        parser.error("--timeout must be > 0 seconds")
    return run_verify_log(args.key_file, args.log, args.strict, args.jobs, args.scheduler, args.json, args.all,
                          args.timeout)


def add_parser(commands: Any) -> None:
    verify = commands.add_parser(
        "verify-log", help="check receipt logs against the boundary key",
        description="Check every line of receipt logs (tags, replay order, refusals and the seals) and exit 1 if "
                    "any line fails, 2 if a log cannot be checked to its end (unreadable, or lines under a key "
                    "not given); with --strict, 3 for a log without its final seal (its writer stopped before "
                    "closing it). With several logs: the worst of theirs.")
    verify.add_argument("--key-file", required=True, metavar="KEY", action="append",
                        help="file holding the 32-byte key the log was written with, readable by its owner only; "
                             "give it once per key of a log that rotates keys, in any order")
    verify.add_argument("--strict", action="store_true",
                        help="a gap in the sequence ids or a missing final seal is a failure too")
    verify.add_argument("--all", action="store_true",
                        help=f"show every finding (default: the first {_FINDINGS_SHOWN} of each file, and how many "
                             f"more)")
    verify.add_argument("--jobs", type=int, metavar="N", help="check N files at once (processes; default: the CPUs)")
    verify.add_argument("--scheduler", metavar="ADDRESS",
                        help="check the files on a dask.distributed cluster, one task per file")
    verify.add_argument("--timeout", type=float, metavar="SECONDS", default=DEFAULT_TIMEOUT,
                        help=f"with --scheduler, give up (exit 2) after this long (default: {DEFAULT_TIMEOUT:g})")
    verify.add_argument("--json", action="store_true", help="the results as JSON")
    verify.add_argument("log", metavar="FILE", nargs="+",
                        help="a receipt log (one JSON object per line), or a directory of *.jsonl logs")
    verify.set_defaults(run=_run)
