"""The one benchmark report: every C++ benchmark and every module benchmark, one run, one table.

    cmake --workflow --preset bench

(which builds everything and runs this script with the paths below). Each row
is a path, its peer, and their ratio, all measured in this run:
Google Benchmark's figures are medians of repetitions in thread CPU time, the
module's come from bench_module.py, also medians in thread CPU time. Figures
are printed, never judged: nothing here fails on a time.

    bench_report.py --multivar BIN --security BIN --nonce BIN --limiter BIN [--quick]
                    [--ros2 KESTREL_ROS2 KESTREL_ROS2_PROBE CYCLONE_CONFIG]

With --ros2 (a build with KESTREL_ROS2=ON) it adds kestrel_ros2's command-to-state latency over loopback
DDS and the loss of that run (bench_ros2.py).
"""
import argparse
import json
import os
import platform
import subprocess

import bench_module
import bench_ros2

# What a peer is. None is a floor (the least the work can cost): a sum of parts
# timed alone, or C code in another harness, can come out above the whole.
REFERENCE, PARTS, ALTERNATIVE, CASE, PERIOD = "C reference", "parts", "alternative", "other case", "period"


def kind_of_module_peer(peer):
    """The kind of a peer that bench_module.py measured."""
    if peer.startswith("plain Python"):
        return ALTERNATIVE
    return PARTS if peer == "KestrelReceipt.verify" else REFERENCE


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
    parser.add_argument("--ros2", nargs=3, metavar=("BRIDGE", "PROBE", "CONFIG"),
                        help="kestrel_ros2, kestrel_ros2_probe and the loopback Cyclone configuration")
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
    # Each row: path, its time, what the peer is (one of the kinds above), the peer, its time.
    rows = [(path, t, kind_of_module_peer(peer), peer, base) for path, t, peer, base in module if base]
    python_limiter = by_path["JointLimiter.limit per joint, 7 joints"][1]
    # Timed by two harnesses (timeit's loop against Google Benchmark's): another case, not a part.
    rows.append(("JointLimiter.limit per joint, 7 joints", python_limiter, CASE, "the same from C", per_joint[7, 0]))
    # The parts of one limit call: the C call and 7 floats converted in and out.
    rows.append(("JointLimiter.limit, 7 joints, list", by_path["JointLimiter.limit, 7 joints, list"][1], PARTS,
                 "C call + 7 floats in and out", 7 * per_joint[7, 0]
                 + by_path["C loop: 7 floats from a list into new floats"][1]))
    # The parts of project_4d: 4 floats in and out of a C method, and the C solve.
    rows.append(("project_4d, one row active", by_path["project_4d, one row active"][1], PARTS,
                 "project_batch of 4 floats + C solve", by_path["Governor.project_batch, 4 floats"][1]
                 + multivar["BM_Solve/one_row_active"]))
    # The monitor's check of the same arm, against the limiter's own call for 7 joints in this run.
    rows.append(("kestrel_monitor_check, 7 joints (C)", limiter["BM_MonitorCheck"], CASE,
                 "kestrel_joint_limiter_limit, 7 joints", 7 * per_joint[7, 0]))
    rows.append(("Monitor.check, 7 joints, lists", by_path["Monitor.check, 7 joints, lists"][1], CASE,
                 "JointLimiter.limit, 7 joints, list", by_path["JointLimiter.limit, 7 joints, list"][1]))
    rows.append(("C joint limiter per joint, 32 joints", per_joint[32, 0], CASE, "the same, 7 joints", per_joint[7, 0]))
    rows.append(("C joint limiter per joint, 7, coupled", per_joint[7, 1], CASE, "the same, uncoupled",
                 per_joint[7, 0]))
    rows.append(("nonce: NonceSource::fill(12), vDSO", nonce["BM_NonceSource"], ALTERNATIVE,
                 "getrandom(12) system call", nonce["BM_GetrandomSyscall"]))
    # The parts of one authorization: its nonce, the two tags it must compute
    # (issue, then the replay gate's recomputation) and one C method call.
    tag = security["BM_Authorize/action_id_len:6"]
    call = by_path["Governor.project(float)"][3]
    authorize = by_path["authorize_action, full ring"][1]
    rows.append(("authorize_action, full ring", authorize, PARTS, "vDSO nonce + 2 tags + C call",
                 nonce["BM_NonceSource"] + 2 * tag + call))
    # The same from C. A boundary primes its key once, so its parts count
    # two tags from a primed key (issue_receipt), not the tag above, which
    # primes the key on every call.
    boundary_c = security["BM_BoundaryAuthorize"]
    rows.append(("kestrel_boundary_authorize (C)", boundary_c, PARTS, "vDSO nonce + 2 tags, key primed",
                 nonce["BM_NonceSource"] + 2 * security["BM_IssueReceipt/action_id_len:6"]))
    rows.append(("tag: authorize, 6-byte action id", tag, ALTERNATIVE, "OpenSSL HMAC(), same bytes",
                 security["BM_OpenSslHmac/action_id_len:6"]))
    # A replay gate, too, holds its key primed: its one costly part is a tag from a primed key.
    rows.append(("replay gate: full ring, accepted", security["BM_CheckAndAccept_FullRing"], PARTS,
                 "tag, key primed", security["BM_IssueReceipt/action_id_len:6"]))
    rows.append(("kestrel_receipt_verify (C)", security["BM_ReceiptVerify"], PARTS, "tag alone", tag))
    # The four-axis solve has no cheaper way to the same answer here (a box
    # clamp ignores the rows): it is set against the period it must fit in.
    for kind in ("none_active", "one_row_active", "bounds_and_row", "infeasible", "mix"):
        rows.append((f"four-axis solve, {kind}", multivar[f"BM_Solve/{kind}"], PERIOD, "a 1 kHz period", 1e6))
    # One period of the demo's seven-joint arm at 1 kHz, on each side of the link.
    python_period = (by_path["JointLimiter.limit, 7 joints, list"][1] + by_path["Governor.project_batch, 7 floats"][1]
                     + 7 * authorize)
    rows.append(("one 7-joint 1 kHz period, Python: limit, project_batch, 7 authorize_action", python_period,
                 PERIOD, "a 1 kHz period", 1e6))
    rows.append(("one 7-joint 1 kHz period, C: limiter, 7 kestrel_boundary_authorize",
                 7 * per_joint[7, 0] + 7 * boundary_c, PERIOD, "a 1 kHz period", 1e6))
    rows.append(("its actuator side, Python: 7 ReceiptGuard.check", 7 * by_path["ReceiptGuard.check, accepted"][1],
                 PERIOD, "a 1 kHz period", 1e6))
    ros2 = bench_ros2.measure(*args.ros2, seconds=2 if args.quick else 10) if args.ros2 else None
    if ros2:
        # Wall time, not CPU time: the commands cross two processes and two control loops.
        for name in ("median", "p99"):
            rows.append((f"kestrel_ros2, 7 joints at 1 kHz, command to JointState, {name}", ros2[f"{name}_ns"],
                         PERIOD, "a 1 kHz period", 1e6))

    print(f"Machine: {machine()}")
    print("Times are medians of thread CPU time; the ratio is the path's time over its peer's, and lower is better.")
    widths = (max(len(row[0]) for row in rows), max(len(row[3]) for row in rows))
    print(f"| {'Path':{widths[0]}} | {'Time':>10} | {'Peer is':11} | {'Peer':{widths[1]}} | {'Time':>10} | "
          f"{'Ratio':>8} |")
    print(f"|{'-' * (widths[0] + 2)}|{'-' * 11}:|{'-' * 13}|{'-' * (widths[1] + 2)}|{'-' * 11}:|{'-' * 9}:|")
    for path, t, kind, peer, base in rows:
        ratio = f"{t / base * 100:.3f} %" if kind == PERIOD else f"{t / base:.2f}x"
        print(f"| {path:{widths[0]}} | {duration(t):>10} | {kind:11} | {peer:{widths[1]}} | {duration(base):>10} | "
              f"{ratio:>8} |")
    plain = by_path["authorize_action in plain Python + stdlib"][1]
    print(f"authorize_action in plain Python + stdlib (bench_module.py): {duration(plain)}, "
          f"{plain / authorize:.1f}x the module's; a C method with project's calling convention: "
          f"{duration(by_path['C method, METH_FASTCALL + METH_KEYWORDS'][1])}")
    if ros2:
        print(f"kestrel_ros2 over loopback DDS, one run: commands received {ros2['commands_received']:.0f} of "
              f"{ros2['commands_sent']:.0f} sent; JointState received {ros2['states_received']:.0f} of "
              f"{ros2['states_published']:.0f} published (the rest after the probe stopped reading); signed frames "
              f"accepted {ros2['frames_accepted']:.0f} of {ros2['frames_sent']:.0f} (the frame topic keeps the "
              f"newest frame of each joint, so a late period replaces one)")
    print(f"Peer is: {REFERENCE}, the same Python-facing work as the plainest C method (bench/reference_module.c); "
          f"{PARTS}, the work's unavoidable parts, each timed alone and added; {ALTERNATIVE}, another way to the "
          f"same result; {CASE}, the same code in another case or harness; {PERIOD}, the control period the path "
          f"must fit in (the ratio is the share of it used). No peer is a floor: below 1.00x the path costs less "
          f"than its peer.")

if __name__ == "__main__":
    main()
