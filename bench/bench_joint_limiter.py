"""Cost of kestrel.JointLimiter.limit from Python, per joint and call.

    PYTHONPATH=build/release/python python3 bench/bench_joint_limiter.py [--calls N]

Prints one line per arm size: the time of one `limit` call (converting the
list in and out included) divided by the number of joints, with the C kernel's own cost (the
Google Benchmark `kestrel_joint_limiter_bench`) left to that program.
"""
import argparse
import math
import time

import kestrel

LIMITS = kestrel.JointLimits(min_position=-1.0, max_position=1.0, max_velocity=2.0,
                             max_acceleration=20.0, max_jerk=2000.0)


def per_joint_ns(joints, calls):
    """Best of three runs of `calls` limit calls on a sine sweep, in ns per joint and call."""
    limiter = kestrel.JointLimiter([LIMITS] * joints, 0.001)
    sweep = [[3.0 * math.sin(0.02 * t + j) for j in range(joints)] for t in range(1024)]
    best = math.inf
    for _ in range(3):
        start = time.perf_counter_ns()
        for t in range(calls):
            limiter.limit(sweep[t & 1023])
        best = min(best, (time.perf_counter_ns() - start) / (calls * joints))
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=100_000, help="limit calls per run (default 100000)")
    calls = parser.parse_args().calls
    for joints in (7, 32):
        print(f"JointLimiter.limit, {joints:2d} joints: {per_joint_ns(joints, calls):7.1f} ns per joint per call")


if __name__ == "__main__":
    main()
