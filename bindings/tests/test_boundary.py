import math
import os
import struct
import threading
import time
import unittest

import _kestrel
from support import FloatLike, IndexLike

KestrelBoundary = _kestrel.KestrelBoundary
KestrelViolation = _kestrel.KestrelViolation


def velocity_message(velocity, limit):
    return f"commanded_velocity {velocity} rad/s exceeds max_velocity_rad_s {limit} rad/s"


class ConstructionTest(unittest.TestCase):
    def test_accepted_arguments(self):
        for kwargs in [{}, {"rate_limit": 0}, {"rate_limit": 2**64 - 1}, {"max_velocity_rad_s": -1.0},
                       {"max_velocity_rad_s": math.inf}, {"max_velocity_rad_s": IndexLike(3)},
                       {"monotonic_window_size": 0}, {"hmac_key": None}, {"hmac_key": bytes(32)}]:
            with self.subTest(kwargs=kwargs):
                self.assertIsInstance(KestrelBoundary(**kwargs), KestrelBoundary)
        KestrelBoundary(10, 1.0, 5, bytes(32))

    def test_refused_arguments(self):
        cases = [
            ({"hmac_key": bytes(31)}, ValueError, "hmac_key must be exactly 32 bytes"),
            ({"hmac_key": bytes(33)}, ValueError, "hmac_key must be exactly 32 bytes"),
            ({"hmac_key": b""}, ValueError, "hmac_key must be exactly 32 bytes"),
            ({"hmac_key": bytearray(32)}, TypeError,
             "argument 'hmac_key': 'bytearray' object cannot be converted to 'PyBytes'"),
            ({"hmac_key": "k" * 32}, TypeError, "argument 'hmac_key': 'str' object cannot be converted to 'PyBytes'"),
            ({"rate_limit": -1}, OverflowError, None),
            ({"monotonic_window_size": -1}, OverflowError, None),
            ({"rate_limit": 1.0}, TypeError, "argument 'rate_limit': "),
            ({"max_velocity_rad_s": "fast"}, TypeError, "argument 'max_velocity_rad_s': "),
        ]
        for kwargs, exc, message in cases:
            with self.subTest(kwargs=kwargs):
                with self.assertRaises(exc) as caught:
                    KestrelBoundary(**kwargs)
                if message is not None:
                    self.assertTrue(str(caught.exception).startswith(message), str(caught.exception))

    def test_conversion_order(self):
        # rate_limit is converted first, so its error wins over a bad key.
        with self.assertRaises(OverflowError):
            KestrelBoundary(-1, hmac_key=bytearray(3))


class VelocityTest(unittest.TestCase):
    def test_limit_edges(self):
        boundary = KestrelBoundary()
        for velocity in [4.18, -4.18, 0.0, -0.0, FloatLike(1.0)]:
            with self.subTest(velocity=velocity):
                boundary.authorize_action(0, 0.0, velocity)
        for velocity, text in [(4.180000000000001, "4.180000000000001"), (-5.0, "-5"), (math.inf, "inf"),
                               (-math.inf, "-inf"), (1e23, "100000000000000000000000"), (math.nan, "NaN")]:
            with self.subTest(velocity=velocity):
                with self.assertRaises(KestrelViolation) as caught:
                    boundary.authorize_action(1, 0.0, velocity)
                exc = caught.exception
                self.assertEqual((exc.axis, exc.violation_type), (1, "velocity_exceeded"))
                self.assertEqual(exc.message, velocity_message(text, "4.18"))
                self.assertEqual(exc.args, (1, "velocity_exceeded", exc.message))

    def test_limit_text(self):
        for limit, text in [(1e-7, "0.0000001"), (-0.0, "-0"), (5.0, "5"), (1e21, "1000000000000000000000"),
                            (-6.5, "-6.5"), (math.nan, "NaN")]:
            with self.subTest(limit=limit):
                boundary = KestrelBoundary(max_velocity_rad_s=limit)
                with self.assertRaises(KestrelViolation) as caught:
                    boundary.authorize_action(2, 0.0, 2e21)
                self.assertEqual(caught.exception.message, velocity_message("2000000000000000000000", text))

    def test_fails_closed_on_nan(self):
        # A NaN velocity or a NaN limit cannot be compared, so nothing is signed.
        with self.assertRaises(KestrelViolation):
            KestrelBoundary().authorize_action(0, 0.0, math.nan)
        nan_limit = KestrelBoundary(max_velocity_rad_s=math.nan)
        for velocity in [0.0, 1.0, -0.0, math.nan]:
            with self.subTest(velocity=velocity):
                with self.assertRaises(KestrelViolation):
                    nan_limit.authorize_action(0, 0.0, velocity)

    def test_negative_limit_refuses_everything(self):
        boundary = KestrelBoundary(max_velocity_rad_s=-1.0)
        for velocity in [0.0, 0.5, -2.0]:
            with self.subTest(velocity=velocity):
                with self.assertRaises(KestrelViolation):
                    boundary.authorize_action(0, 0.0, velocity)

    def test_positions_are_not_checked(self):
        boundary = KestrelBoundary(hmac_key=bytes(32))
        receipt = boundary.authorize_action(0, math.nan, 1.0)
        self.assertTrue(receipt.verify(bytes(32)))


class RateAndSequenceTest(unittest.TestCase):
    def test_rate_window(self):
        boundary = KestrelBoundary(rate_limit=2)
        outcomes = []
        for _ in range(4):
            try:
                outcomes.append(boundary.authorize_action(2, 0.0, 0.0).sequence_id)
            except KestrelViolation as exc:
                self.assertEqual(exc.args, (2, "rate_limited", "action rate limit exceeded"))
                self.assertEqual(repr(exc), "KestrelViolation(2, 'rate_limited', 'action rate limit exceeded')")
                outcomes.append(exc.violation_type)
        self.assertEqual(outcomes, [1, 2, "rate_limited", "rate_limited"])
        time.sleep(1.05)
        # A new window opens and the refusals consumed no sequence id.
        self.assertEqual(boundary.authorize_action(2, 0.0, 0.0).sequence_id, 3)

    def test_zero_rate_limit(self):
        boundary = KestrelBoundary(rate_limit=0)
        with self.assertRaises(KestrelViolation):
            boundary.authorize_action(0, 0.0, 0.0)
        time.sleep(1.05)
        self.assertEqual(boundary.authorize_action(0, 0.0, 0.0).sequence_id, 1)
        with self.assertRaises(KestrelViolation):
            boundary.authorize_action(0, 0.0, 0.0)

    def test_refusals_do_not_consume_sequence_ids(self):
        boundary = KestrelBoundary()
        self.assertEqual(boundary.authorize_action(0, 0.0, 0.0).sequence_id, 1)
        for bad in [(0, 0.0, 9.0), (2**31, 0.0, 0.0), (0, "x", 0.0)]:
            with self.assertRaises((KestrelViolation, OverflowError, TypeError)):
                boundary.authorize_action(*bad)
        self.assertEqual(boundary.authorize_action(0, 0.0, 0.0).sequence_id, 2)

    def test_extreme_axes(self):
        boundary = KestrelBoundary(hmac_key=bytes(32))
        receipt = boundary.authorize_action(-2**31, 0.0, 0.0)
        self.assertTrue(receipt.verify(bytes(32)))
        with self.assertRaises(OverflowError) as caught:
            boundary.authorize_action(2**31, 0.0, 0.0)
        self.assertEqual(str(caught.exception), "number too large to fit in target type")

    def test_timestamps_follow_the_wall_clock(self):
        before = time.time_ns()
        receipt = KestrelBoundary().authorize_action(0, 0.0, 0.0)
        after = time.time_ns()
        self.assertLessEqual(before, receipt.timestamp_nanos)
        self.assertLessEqual(receipt.timestamp_nanos, after)

    def test_boundaries_with_one_key_sign_independently(self):
        key = bytes(range(1, 33))
        first, second = KestrelBoundary(hmac_key=key), KestrelBoundary(hmac_key=key)
        a, b = first.authorize_action(1, 0.0, 0.0), second.authorize_action(1, 0.0, 0.0)
        self.assertEqual((a.sequence_id, b.sequence_id), (1, 1))
        self.assertTrue(a.verify(key) and b.verify(key))
        self.assertNotEqual(a.receipt_hash[:12], b.receipt_hash[:12])

    def test_payload_holds_the_arguments(self):
        key = bytes(32)
        receipt = KestrelBoundary(hmac_key=key).authorize_action(7, -0.0, 1.25)
        from support import expected_tag
        self.assertEqual(receipt.receipt_hash[28:], expected_tag(key, receipt.receipt_hash, 7, -0.0, 1.25))
        self.assertNotEqual(receipt.receipt_hash[28:], expected_tag(key, receipt.receipt_hash, 7, 0.0, 1.25))
        self.assertEqual(struct.pack("<d", -0.0), b"\x00" * 7 + b"\x80")


class ThreadTest(unittest.TestCase):
    def test_threads_share_one_boundary(self):
        boundary = KestrelBoundary(rate_limit=2500)
        results, refusals = [], []
        lock = threading.Lock()

        def worker():
            for i in range(1000):
                try:
                    sequence_id = boundary.authorize_action(i % 4, 0.0, 0.5).sequence_id
                    with lock:
                        results.append(sequence_id)
                except KestrelViolation as exc:
                    with lock:
                        refusals.append(exc.violation_type)

        threads = [threading.Thread(target=worker) for _ in range(4)]
        start = time.monotonic()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(len(results) + len(refusals), 4000)
        self.assertEqual(len(set(results)), len(results))
        self.assertEqual(sorted(results), list(range(1, len(results) + 1)))
        self.assertTrue(set(refusals) <= {"rate_limited"})
        if time.monotonic() - start < 0.9:
            self.assertEqual(len(results), 2500)


# Run under the random-fault shim: 50 authorizations, then which sources served them.
# The faults are armed only after the interpreter has seeded itself.
FAULT_PROBE = """
import ctypes, json, os, sys, _kestrel
os.environ["KESTREL_RANDOM_FAULTS"] = sys.argv[1]
shim = ctypes.CDLL(None)
calls = ctypes.c_ulong.in_dll(shim, "kestrel_shim_getrandom_calls")
opens = ctypes.c_ulong.in_dll(shim, "kestrel_shim_urandom_opens")
boundary = _kestrel.KestrelBoundary(rate_limit=10**6)
before = (calls.value, opens.value)
try:
    nonces = {boundary.authorize_action(1, 0.0, 0.0).receipt_hash[:12] for _ in range(50)}
    outcome = {"distinct": len(nonces)}
except RuntimeError as exc:
    outcome = {"error": str(exc)}
outcome.update(getrandom=calls.value - before[0], urandom_opens=opens.value - before[1])
print(json.dumps(outcome))
"""


class NonceSourceTest(unittest.TestCase):
    """Every random source and every fallback, forced by an LD_PRELOAD shim (the module reads no setting)."""

    def run_with_faults(self, faults):
        import json
        import os
        import subprocess
        import sys
        shim = os.path.join(os.path.dirname(_kestrel.__file__), "libkestrel_random_fault_shim.so")
        self.assertTrue(os.path.exists(shim), shim)
        env = dict(os.environ)
        env["LD_PRELOAD"] = " ".join(filter(None, [env.get("LD_PRELOAD"), shim]))
        done = subprocess.run([sys.executable, "-c", FAULT_PROBE, faults], env=env, capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout)

    def test_sources_and_fallbacks(self):
        vdso = tuple(map(int, os.uname().release.split(".")[:2])) >= (6, 11)
        ok_by_syscall = {"distinct": 50, "getrandom": 50, "urandom_opens": 0}
        cases = [
            ("", {"distinct": 50, "getrandom": 0, "urandom_opens": 0} if vdso else ok_by_syscall),
            ("no-vdso", ok_by_syscall),
            ("no-vdso-state", ok_by_syscall),
            ("no-vdso,getrandom-enosys", {"distinct": 50, "getrandom": 1, "urandom_opens": 1}),
            ("no-vdso,getrandom-eio",
             {"error": "failed to generate nonce: Input/output error", "getrandom": 1, "urandom_opens": 0}),
            ("no-vdso,getrandom-zero",
             {"error": "failed to generate nonce: the random source returned no bytes", "getrandom": 1,
              "urandom_opens": 0}),
            ("no-vdso,getrandom-enosys,urandom-eacces",
             {"error": "failed to generate nonce: Permission denied", "getrandom": 1, "urandom_opens": 1}),
        ]
        for faults, expected in cases:
            with self.subTest(faults=faults):
                self.assertEqual(self.run_with_faults(faults), expected)

    def test_parent_and_forked_child_never_share_a_nonce(self):
        boundary = KestrelBoundary(rate_limit=10**6)
        parent = [boundary.authorize_action(1, 0.0, 0.0).receipt_hash[:12] for _ in range(10)]
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:  # the child: draw, report, leave without running the parent's cleanups
            try:
                os.close(read_end)
                nonces = b"".join(boundary.authorize_action(1, 0.0, 0.0).receipt_hash[:12] for _ in range(500))
                os.write(write_end, nonces)
            finally:
                os._exit(0)
        os.close(write_end)
        parent += [boundary.authorize_action(1, 0.0, 0.0).receipt_hash[:12] for _ in range(500)]
        with os.fdopen(read_end, "rb") as pipe:
            data = pipe.read()
        os.waitpid(pid, 0)
        child = [data[i:i + 12] for i in range(0, len(data), 12)]
        self.assertEqual(len(child), 500)
        self.assertEqual(len(set(parent)), len(parent))
        self.assertEqual(len(set(child)), len(child))
        self.assertFalse(set(parent) & set(child))


if __name__ == "__main__":
    unittest.main()
