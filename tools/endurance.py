#!/usr/bin/env python3
"""Endurance run of the _kestrel module and the package's kestrel._native: memory must stay flat.

Runs COUNT rounds of KestrelBoundary.authorize_action, KestrelReceipt.verify,
Governor.project_batch, ReceiptGuard.check and check_frame, encode_frame,
decode_frame, parse_receipt, JointLimiter.limit and project_4d (with a
velocity refusal, a replay refusal, a malformed frame and an argument error
every few rounds, so the error paths run too), then checks that

  - the resident set size did not grow beyond --rss-limit-kib between the end
    of the warm-up and the end of the run;
  - the interpreter's count of allocated memory blocks did not grow beyond
    --blocks-limit (a leaked object per call shows up here at any count);
  - the reference counts of the objects reused in every round did not change
    (a leaked reference to a shared object costs no memory but is a leak);
  - with a debug interpreter, sys.gettotalrefcount() did not grow.

CI runs it with a small --count; run it long by hand:
    PYTHONPATH=build/release/python python3 tools/endurance.py --count 1000000
Exits 0 when memory stayed flat, 1 otherwise.
"""
import argparse
import os
import sys
import time

import _kestrel
import kestrel

KEY = bytes(range(32))


def resident_kib():
    """The resident set size of this process in KiB, from /proc/self/statm."""
    with open("/proc/self/statm") as statm:
        pages = int(statm.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


def under_address_sanitizer():
    # Freed memory sits in the sanitizer's quarantine, so RSS grows anyway.
    return "asan" in os.environ.get("LD_PRELOAD", "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--count", type=int, default=1_000_000, help="rounds to run (default 1,000,000)")
    parser.add_argument("--warmup", type=int, default=None, help="rounds before the first sample "
                        "(default: a tenth of --count, at least 1000)")
    parser.add_argument("--rss-limit-kib", type=int, default=2048, help="allowed RSS growth (default 2048 KiB)")
    parser.add_argument("--blocks-limit", type=int, default=256,
                        help="allowed growth of allocated memory blocks (default 256)")
    args = parser.parse_args()
    warmup = args.warmup if args.warmup is not None else max(1000, args.count // 10)

    boundary = _kestrel.KestrelBoundary(rate_limit=2**64 - 1, hmac_key=KEY)
    governor = _kestrel.Governor(-1.0, 1.0)
    batch = [0.25, -3.0, 7, 0.5, -0.125, 2.5, 1, -1.0]
    wrong_key = bytes(32)
    guard = kestrel.ReceiptGuard(KEY)
    limiter = kestrel.JointLimiter([kestrel.JointLimits(-1.0, 1.0, 2.0, 20.0, 2000.0)] * 7, 0.001)
    desired = [1.5, -1.5, 0.25, 0.0, 3.0, -0.5, 0.75]
    box = ([-1.0] * 4, [1.0] * 4)
    # The objects every round passes in or calls on. (None, True and False see
    # too much of the interpreter's own traffic to be counted.)
    shared = {"boundary": boundary, "governor": governor, "batch": batch, "key": KEY, "wrong key": wrong_key,
              "batch element": batch[0], "guard": guard, "limiter": limiter, "desired": desired,
              "OPTIMAL": kestrel.SolveStatus.OPTIMAL}

    def round_(i):
        receipt = boundary.authorize_action(i & 7, 0.5, 1.0)
        if not receipt.verify(KEY) or receipt.verify(wrong_key):
            raise AssertionError(f"receipt {receipt.sequence_id} does not verify as it should")
        result = governor.project_batch(batch)
        if len(result) != len(batch):
            raise AssertionError("project_batch lost elements")
        if i & 1:
            frame = kestrel.encode_frame(i & 7, 0.5, 1.0, receipt.receipt_hash)
            if guard.check_frame(frame) != kestrel.decode_frame(frame):
                raise AssertionError("check_frame returned another action than the frame holds")
        else:
            guard.check(receipt.receipt_hash, i & 7, 0.5, 1.0)
        if kestrel.parse_receipt(receipt.receipt_hash).sequence_id != receipt.sequence_id:
            raise AssertionError("parse_receipt read another sequence id")
        limiter.limit(desired if i & 1 else [-v for v in desired])
        kestrel.project_4d(batch[:4], *box, rows=[batch[4:]], limits=[0.5])
        if i % 16 == 5:
            try:
                boundary.authorize_action(0, 0.0, 9.0)
            except _kestrel.KestrelViolation:
                pass
            try:
                governor.project_batch([0.5, "x"])
            except TypeError:
                pass
            try:
                guard.check(receipt.receipt_hash, i & 7, 0.5, 1.0)
            except _kestrel.KestrelViolation:
                pass
            try:
                guard.check_frame(b"\2" + bytes(83))
            except _kestrel.KestrelViolation:
                pass
            try:
                limiter.limit(desired[:3])
            except ValueError:
                pass

    started = time.monotonic()
    for i in range(warmup):
        round_(i)
    references = {name: sys.getrefcount(obj) for name, obj in shared.items()}
    rss_before = resident_kib()
    blocks_before = sys.getallocatedblocks()
    total_before = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None

    for i in range(warmup, warmup + args.count):
        round_(i)

    rss_after = resident_kib()
    blocks_after = sys.getallocatedblocks()
    elapsed = time.monotonic() - started
    failures = []
    print(f"{args.count} rounds after {warmup} warm-up rounds in {elapsed:.1f} s")
    print(f"resident set: {rss_before} KiB after warm-up, {rss_after} KiB at the end "
          f"({rss_after - rss_before:+d} KiB)")
    if under_address_sanitizer():
        print("resident set not checked: AddressSanitizer keeps freed memory in quarantine")
    elif rss_after - rss_before > args.rss_limit_kib:
        failures.append(f"resident set grew by {rss_after - rss_before} KiB (limit {args.rss_limit_kib} KiB)")
    if blocks_before or blocks_after:  # zero when the interpreter's allocator is bypassed
        print(f"allocated blocks: {blocks_before} after warm-up, {blocks_after} at the end "
              f"({blocks_after - blocks_before:+d})")
        if blocks_after - blocks_before > args.blocks_limit:
            failures.append(f"allocated blocks grew by {blocks_after - blocks_before} (limit {args.blocks_limit})")
    for name, obj in shared.items():
        if sys.getrefcount(obj) != references[name]:
            failures.append(f"references to {name}: {references[name]} after warm-up, {sys.getrefcount(obj)} "
                            "at the end")
    if total_before is not None:
        grown = sys.gettotalrefcount() - total_before
        print(f"total reference count: {grown:+d}")
        if grown > args.blocks_limit:
            failures.append(f"total reference count grew by {grown}")

    for failure in failures:
        print("FAIL:", failure)
    print("memory flat" if not failures else "memory NOT flat")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
