"""Speed of the Python face of Kestrel, as ratios against peers measured in the same run.

    PYTHONPATH=<module dir>:<reference dir> python3 bench_module.py [--quick]

Peers: `_kestrel_bench_reference` (the cheapest C method that returns a new
float, and the cheapest C loops that read a list or a float buffer into new
floats) and the authorization and its verification written in plain Python
with the standard library. The numpy rows need python3-numpy.

Every figure is the median of several repeats in thread CPU time, so that
other processes on a shared machine disturb it as little as possible.
bench_report.py puts these rows into the one report beside the C++ ones.
"""
import array
import collections
import hashlib
import hmac
import io
import math
import os
import random
import statistics
import struct
import sys
import time
import timeit

import _kestrel
import _kestrel_bench_reference as reference
import kestrel
from kestrel.log_audit import verify_log_file

try:
    import numpy as np
except ImportError:  # the numpy rows are left out
    np = None


class PlainPythonBoundary:
    """The same authorization work as KestrelBoundary.authorize_action, in plain Python."""

    def __init__(self, key, rate_limit=10**9, max_velocity=4.18):
        self.key = key
        self.rate_limit = rate_limit
        self.max_velocity = max_velocity
        self.window_start = time.time_ns()
        self.window_count = 0
        self.sequence = 0
        self.last_sequence = 0
        self.ring = collections.deque(maxlen=1024)
        self.seen = set()

    def tag(self, nonce, timestamp, sequence, action, payload):
        message = (nonce + struct.pack("<QQQ", timestamp, sequence, len(action)) + action
                   + struct.pack("<Q", 16) + payload)
        return hmac.new(self.key, message, hashlib.sha256).digest()

    def authorize_action(self, axis, position, velocity):
        if not abs(velocity) <= self.max_velocity:
            raise ValueError("velocity_exceeded")
        now = time.time_ns()
        if now - self.window_start < 1_000_000_000:
            self.window_count += 1
            if self.window_count > self.rate_limit:
                raise ValueError("rate_limited")
        else:
            self.window_start, self.window_count = now, 1
        self.sequence += 1
        nonce = os.urandom(12)
        action = b"axis_%d" % axis
        payload = struct.pack("<dd", position, velocity)
        tag = self.tag(nonce, now, self.sequence, action, payload)
        # Interception: replay checks, then the tag recomputed and compared.
        if self.sequence <= self.last_sequence or nonce in self.seen:
            raise ValueError("replay")
        if not hmac.compare_digest(tag, self.tag(nonce, now, self.sequence, action, payload)):
            raise ValueError("authentication_failure")
        self.last_sequence = self.sequence
        if len(self.ring) == self.ring.maxlen:
            self.seen.discard(self.ring[0])
        self.ring.append(nonce)
        self.seen.add(nonce)
        return nonce + struct.pack("<QQ", now, self.sequence) + tag

    def verify(self, receipt, action, payload):
        """The check of KestrelReceipt.verify: the tag recomputed from the wire form and compared."""
        nonce, timestamp, sequence = receipt[:12], *struct.unpack("<QQ", receipt[12:28])
        return hmac.compare_digest(receipt[28:], self.tag(nonce, timestamp, sequence, action, payload))


def median_ns(stmt, env, number, repeat):
    """Median time of one execution of stmt, in thread CPU nanoseconds."""
    timer = timeit.Timer(stmt, globals=env, timer=time.thread_time)
    return statistics.median(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def measure(quick=False):
    """The module's rows: (path, ns, peer or floor, ns)."""
    scale = 10 if quick else 1
    rng = random.Random(7)
    governor = _kestrel.Governor(-1.0, 1.0)
    rows = []

    # project: inside the envelope and not exactly a 32-bit value, so a new float is made. Two
    # floors: a METH_O function, and one with project's calling convention (keywords allowed).
    env = {"project": governor.project, "ref": reference.new_float, "ref_kw": reference.new_float_kw,
           "v": 0.1234567}
    n = 1_000_000 // scale
    t_ref = median_ns("ref(v)", env, n, 9)
    t_ref_kw = median_ns("ref_kw(v)", env, n, 9)
    t_project = median_ns("project(v)", env, n, 9)
    rows.append(("Governor.project(float)", t_project, "one-argument C method returning a new float", t_ref))
    rows.append(("C method, METH_FASTCALL + METH_KEYWORDS", t_ref_kw, "", 0.0))
    env["v"] = 7.5  # clamped: the bound's float is handed out again
    rows.append(("Governor.project(clamped)", median_ns("project(v)", env, n, 9),
                 "one-argument C method returning a new float", t_ref))

    # project_batch over a million commands, about 30 % of them outside the envelope.
    values = [rng.uniform(-1.4, 1.4) for _ in range(1_000_000 // scale)]
    count = f"10^{len(str(len(values))) - 1}"
    env = {"batch": governor.project_batch, "values": values, "new_floats": reference.new_floats,
           "buffer_floats": reference.buffer_floats}
    rows.append((f"project_batch, list, {count}", median_ns("batch(values)", env, 1, 7),
                 "C loop: list into new floats", median_ns("new_floats(values)", env, 1, 7)))
    buffers = [("array('d')", array.array("d", values))]
    if np is not None:
        buffers = [("numpy float64", np.array(values, dtype=np.float64)),
                   ("numpy float32", np.array(values, dtype=np.float32))] + buffers
    for name, buffer in buffers:
        env["buffer"] = buffer
        rows.append((f"project_batch, {name}, {count}", median_ns("batch(buffer)", env, 1, 7),
                     "C loop: buffer into new floats", median_ns("buffer_floats(buffer)", env, 1, 7)))

    # authorize_action with a full nonce ring, against the same work in plain Python.
    key = os.urandom(32)
    boundary = _kestrel.KestrelBoundary(rate_limit=2**63, hmac_key=key)
    plain = PlainPythonBoundary(key)
    for _ in range(1100):
        boundary.authorize_action(1, 0.5, 1.0)
        plain.authorize_action(1, 0.5, 1.0)
    env = {"k": boundary.authorize_action, "p": plain.authorize_action}
    n = 50_000 // scale
    t_kestrel = median_ns("k(1, 0.5, 1.0)", env, n, 7)
    rows.append(("authorize_action, full ring", t_kestrel, "", 0.0))
    rows.append(("authorize_action in plain Python + stdlib", median_ns("p(1, 0.5, 1.0)", env, n, 7), "", 0.0))

    receipt = boundary.authorize_action(1, 0.5, 1.0)
    env = {"verify": receipt.verify, "key": key, "plain": plain.verify, "wire": receipt.receipt_hash,
           "action": b"axis_1", "payload": struct.pack("<dd", 0.5, 1.0)}
    t_verify = median_ns("verify(key)", env, n, 7)
    rows.append(("KestrelReceipt.verify", t_verify, "plain Python + stdlib",
                 median_ns("plain(wire, action, payload)", env, n, 7)))

    # verify-log's check of a sealed log, per line, against one verify call of this run.
    lines = 10**6 // scale
    rows.append((f"verify-log per line, 10^{len(str(lines)) - 1} lines", log_check_ns(key, lines, 5),
                 "KestrelReceipt.verify", t_verify))
    rows.append(("verify-log per line, full-precision numbers", log_check_ns(key, lines, 5, full_precision=True),
                 "KestrelReceipt.verify", t_verify))

    # The receiving side: a fresh guard per repeat accepts the same stream of new receipts.
    wires = [boundary.authorize_action(1, 0.5, 1.0).receipt_hash for _ in range(n // 5)]
    rows.append(("ReceiptGuard.check, accepted", guard_check_ns(key, wires, 7), "KestrelReceipt.verify", t_verify))

    # The joint limiter from Python, per call and per joint, beside the C call (bench_report.py),
    # and the floor's Python part: 7 floats read from a list into new floats.
    limiter = kestrel.JointLimiter([LIMITER_ARM] * 7, 0.001)
    sweep = [[3.0 * math.sin(0.02 * t + j) for j in range(7)] for t in range(1024)]
    env = {"limit": limiter.limit, "sweep": sweep, "new_floats": reference.new_floats}
    per_call = median_ns("for d in sweep: limit(d)", env, 1 if quick else 10, 7) / len(sweep)
    rows.append(("JointLimiter.limit, 7 joints, list", per_call, "", 0.0))
    rows.append(("JointLimiter.limit per joint, 7 joints", per_call / 7, "", 0.0))
    rows.append(("C loop: 7 floats from a list into new floats",
                 median_ns("for d in sweep: new_floats(d)", env, 1 if quick else 10, 7) / len(sweep), "", 0.0))

    # Monitor.check of the same arm's measured motion, beside the limiter's call in this run: the sine
    # of BM_MonitorCheck (joint_limiter_bench.cpp), which keeps the monitor in RUN.
    clock = kestrel.SimulatedClock(1_700_000_000_000_000_000)
    monitor = kestrel.Monitor([LIMITER_ARM] * 7, clock=clock)
    omega = 2 * math.pi / 1.024
    motion = [([0.3 * math.sin(omega * t * 0.001 + j) for j in range(7)],
               [0.3 * omega * math.cos(omega * t * 0.001 + j) for j in range(7)]) for t in range(1024)]
    env = {"check": monitor.check, "tick": clock.advance_ns, "motion": motion}
    per_check = median_ns("for p, v in motion: tick(1000000); check(p, v)", env, 1 if quick else 10, 7) / len(motion)
    env = {"tick": clock.advance_ns, "motion": motion}
    per_tick = median_ns("for p, v in motion: tick(1000000)", env, 1 if quick else 10, 7) / len(motion)
    if monitor.state != kestrel.MonitorState.RUN:
        raise RuntimeError(f"the monitor tripped ({monitor.trip}): the bench measured a stop")
    rows.append(("Monitor.check, 7 joints, lists", per_check - per_tick, "", 0.0))

    # project_4d with one row active, and the floor's Python part: project_batch of 4 floats.
    env = {"project_4d": kestrel.project_4d, "batch": governor.project_batch, "u": [2.0, 2.0, 0.0, 0.0],
           "lower": [-1.0] * 4, "upper": [1.0] * 4, "rows": [[1.0, 1.0, 0.0, 0.0]], "limits": [1.0]}
    n = 200_000 // scale
    rows.append(("project_4d, one row active", median_ns("project_4d(u, lower, upper, rows, limits)", env, n, 7),
                 "", 0.0))
    rows.append(("Governor.project_batch, 4 floats", median_ns("batch(u)", env, n, 7), "", 0.0))
    env["u"] = [0.5] * 7  # the Governor's share of a seven-joint period
    rows.append(("Governor.project_batch, 7 floats", median_ns("batch(u)", env, n, 7), "", 0.0))
    return rows


# The arm of the C joint-limiter benchmark, so that both sides limit alike.
LIMITER_ARM = kestrel.JointLimits(min_position=-1.0, max_position=1.0, max_velocity=2.0,
                                  max_acceleration=20.0, max_jerk=2000.0)


class KeptText(io.StringIO):
    def close(self):  # the writer closes its stream when it seals; the log is read afterwards
        pass


def log_check_ns(key, lines, repeat, full_precision=False):
    """Median cost per line of checking a log of `lines` actions (and its seals) in memory, in thread CPU ns.

    Positions and velocities are short decimals (0.001 steps, 0.5), or with `full_precision` doubles of
    16 or 17 digits, as a controller's arithmetic leaves them; the reader takes short ones on a faster path.
    """
    boundary = _kestrel.KestrelBoundary(rate_limit=2**63, hmac_key=key)
    text = KeptText()
    with kestrel.ReceiptLogWriter(text, key) as writer:
        for i in range(lines):
            position, velocity = (math.sin(i), math.cos(i) / 2) if full_precision else (i % 1000 / 1000, 0.5)
            writer.record(i % 7, position, velocity, boundary.authorize_action(i % 7, position, velocity))
    data = text.getvalue().encode("ascii")
    times = []
    for _ in range(repeat):
        start = time.thread_time_ns()
        report = verify_log_file(io.BytesIO(data), key)
        times.append((time.thread_time_ns() - start) / report.lines)
        assert report.ok(strict=True), report
    return statistics.median(times)


def guard_check_ns(key, wires, repeat):
    """Median cost of ReceiptGuard.check accepting each of `wires` in turn, in thread CPU ns."""
    times = []
    for _ in range(repeat):
        check = kestrel.ReceiptGuard(key).check
        start = time.thread_time_ns()
        for wire in wires:
            check(wire, 1, 0.5, 1.0)
        times.append((time.thread_time_ns() - start) / len(wires))
    return statistics.median(times)


def main():
    rows = measure(quick="--quick" in sys.argv)
    print(f"{'path':36} {'ns':>12}   {'peer or floor':44} {'ns':>12}  ratio")
    for name, t, peer, base in rows:
        ratio = f"{t / base:5.2f}x" if base else "  (C side: bench_report.py)"
        print(f"{name:36} {t:12.1f}   {peer:44} {base:12.1f}  {ratio}")


if __name__ == "__main__":
    main()
