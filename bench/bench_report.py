"""The one benchmark report: every C++ benchmark and every module benchmark, one run, one table.

    cmake --workflow --preset bench

(which builds everything and runs this script with the paths below). Each row
is a path, its peer or floor, and their ratio, all measured in this run:
Google Benchmark's figures are medians of repetitions in thread CPU time, the
module's come from bench_module.py, also medians in thread CPU time. Figures
are printed, never judged: nothing here fails on a time.

    bench_report.py --multivar BIN --security BIN --nonce BIN --limiter BIN [--quick]
"""
import argparse
import json
import os
import platform
import subprocess

import bench_module


def google_benchmark(binary, quick):
    """Median cpu_time in ns per benchmark name, from one run of the binary."""
    command = [binary, "--benchmark_format=json", "--benchmark_repetitions=" + ("3" if quick else "7"),
               "--benchmark_report_aggregates_only=true"]
    if quick:
        command.append("--benchmark_min_time=0.01")
    report = json.loads(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    return {b["run_name"]: b["cpu_time"] * scale[b["time_unit"]]
            for b in report["benchmarks"] if b.get("aggregate_name") == "median"}


def duration(ns):
    """A time with the unit that keeps it short: ns, µs or ms."""
    for unit, size in (("ms", 1e6), ("µs", 1e3)):
        if ns >= 10 * size:
            return f"{ns / size:.1f} {unit}"
    return f"{ns:.1f} ns"


def machine():
    model = "unknown CPU"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return (f"{model}, {os.cpu_count()} CPUs, Linux {platform.release()}, "
            f"Python {platform.python_version()}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--multivar", required=True)
    parser.add_argument("--security", required=True)
    parser.add_argument("--nonce", required=True)
    parser.add_argument("--limiter", required=True)
    parser.add_argument("--quick", action="store_true", help="shorter runs, for a smoke test")
    args = parser.parse_args()

    multivar = google_benchmark(args.multivar, args.quick)
    security = google_benchmark(args.security, args.quick)
    nonce = google_benchmark(args.nonce, args.quick)
    limiter = google_benchmark(args.limiter, args.quick)
    module = bench_module.measure(args.quick)
    by_path = {row[0]: row for row in module}

    # Per joint and call, from the C library.
    per_joint = {(joints, coupled): limiter[f"BM_Limit/joints:{joints}/coupled:{coupled}"] / joints
                 for joints in (7, 32) for coupled in (0, 1)}
    rows = [(path, t, peer, base) for path, t, peer, base in module if base]
    python_limiter = by_path["JointLimiter.limit per joint, 7 joints"][1]
    rows.append(("JointLimiter.limit per joint, 7 joints", python_limiter, "the same from C", per_joint[7, 0]))
    # The floor of one limit call: the C call and 7 floats converted in and out.
    rows.append(("JointLimiter.limit, 7 joints, list", by_path["JointLimiter.limit, 7 joints, list"][1],
                 "C call + 7 floats in and out", 7 * per_joint[7, 0]
                 + by_path["C loop: 7 floats from a list into new floats"][1]))
    # The floor of project_4d: 4 floats in and out of a C method, and the C solve.
    rows.append(("project_4d, one row active", by_path["project_4d, one row active"][1],
                 "project_batch of 4 floats + C solve", by_path["Governor.project_batch, 4 floats"][1]
                 + multivar["BM_Solve/one_row_active"]))
    rows.append(("C joint limiter per joint, 32 joints", per_joint[32, 0], "the same, 7 joints", per_joint[7, 0]))
    rows.append(("C joint limiter per joint, 7, coupled", per_joint[7, 1], "the same, uncoupled", per_joint[7, 0]))
    rows.append(("nonce: NonceSource::fill(12), vDSO", nonce["BM_NonceSource"], "getrandom(12) system call",
                 nonce["BM_GetrandomSyscall"]))
    # The floor of one authorization: its nonce, the two tags it must compute
    # (issue, then the replay gate's recomputation) and one C method call.
    tag = security["BM_Authorize/action_id_len:6"]
    call = by_path["Governor.project(float)"][3]
    authorize = by_path["authorize_action, full ring"][1]
    rows.append(("authorize_action, full ring", authorize, "floor: vDSO nonce + 2 tags + C call",
                 nonce["BM_NonceSource"] + 2 * tag + call))
    # The same from C. A boundary primes its key once, so its floor counts
    # two tags from a primed key (issue_receipt), not the tag above, which
    # primes the key on every call.
    rows.append(("kestrel_boundary_authorize (C)", security["BM_BoundaryAuthorize"],
                 "floor: vDSO nonce + 2 tags, key primed", nonce["BM_NonceSource"]
                 + 2 * security["BM_IssueReceipt/action_id_len:6"]))
    rows.append(("tag: authorize, 6-byte action id", tag, "OpenSSL HMAC(), same bytes",
                 security["BM_OpenSslHmac/action_id_len:6"]))
    rows.append(("replay gate: full ring, accepted", security["BM_CheckAndAccept_FullRing"],
                 "tag alone", tag))
    rows.append(("kestrel_receipt_verify (C)", security["BM_ReceiptVerify"], "tag alone", tag))
    for kind in ("none_active", "one_row_active", "bounds_and_row", "infeasible", "mix"):
        rows.append((f"four-axis solve, {kind}", multivar[f"BM_Solve/{kind}"], "box clamp of the same commands",
                     multivar["BM_BoxClamp/mix"]))

    print(f"Machine: {machine()}")
    print(f"| {'Path':38} | {'Time':>10} | {'Peer or floor':44} | {'Time':>10} | {'Ratio':>7} |")
    print(f"|{'-' * 40}|{'-' * 11}:|{'-' * 46}|{'-' * 11}:|{'-' * 8}:|")
    for path, t, peer, base in rows:
        print(f"| {path:38} | {duration(t):>10} | {peer:44} | {duration(base):>10} | {t / base:6.2f}x |")


if __name__ == "__main__":
    main()
