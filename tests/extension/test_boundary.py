import math
import os
import subprocess
import sys
import time
import unittest

import _kestrel
from support import FloatLike, IndexLike, authorize_outcome

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

    def test_the_built_in_key_is_warned_about_once_per_process(self):
        # A key of 32 zero bytes is public too, and warned about the same way.
        script = ("import warnings, _kestrel\nwarnings.simplefilter('always')\n"
                  "_kestrel.KestrelBoundary(hmac_key=bytes(range(32)))\n"
                  "for _ in range(3): _kestrel.KestrelBoundary(); _kestrel.KestrelBoundary(hmac_key=bytes(32))")
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
        for warning in ["KestrelBoundary() without hmac_key signs with the built-in key, which is public",
                        "KestrelBoundary hmac_key is 32 zero bytes, a key anyone can guess"]:
            self.assertEqual(run.stderr.count("RuntimeWarning: " + warning), 1, run.stderr)
        for call in ["KestrelBoundary()", "KestrelBoundary(hmac_key=bytes(32))"]:
            refused = subprocess.run([sys.executable, "-W", "error", "-c", "import _kestrel; _kestrel." + call],
                                     capture_output=True, text=True)
            self.assertIn("RuntimeWarning", refused.stderr)

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

    def test_limits_that_refuse_everything(self):
        # A NaN limit cannot be compared, so nothing is signed; a negative
        # limit is below every absolute value.
        for limit, velocities in [(math.nan, [0.0, 1.0, -0.0, math.nan]), (-1.0, [0.0, 0.5, -2.0])]:
            boundary = KestrelBoundary(max_velocity_rad_s=limit)
            for velocity in velocities:
                with self.subTest(limit=limit, velocity=velocity):
                    with self.assertRaises(KestrelViolation) as caught:
                        boundary.authorize_action(0, 0.0, velocity)
                    self.assertEqual(caught.exception.violation_type, "velocity_exceeded")

    def test_positions_are_not_checked(self):
        boundary = KestrelBoundary(hmac_key=bytes(32))
        receipt = boundary.authorize_action(0, math.nan, 1.0)
        self.assertTrue(receipt.verify(bytes(32)))


class RateAndSequenceTest(unittest.TestCase):
    def test_rate_limit(self):
        # The window's arithmetic, the clock stepping back included, is tested
        # with chosen clock readings in rate_window_test.cpp. What is checked
        # here holds however the wall clock moves during the test: the first
        # `limit` calls are admitted (they fit in the first window or open a
        # later one), admitted calls get consecutive sequence ids whatever was
        # refused between them, and every refusal is the catalogue's.
        for limit in (0, 1, 2):
            with self.subTest(limit=limit):
                boundary = KestrelBoundary(rate_limit=limit)
                outcomes = [authorize_outcome(boundary, 2) for _ in range(limit + 6)]
                ids = [o for o in outcomes if isinstance(o, int)]
                refusals = [o for o in outcomes if not isinstance(o, int)]
                self.assertEqual(outcomes[:limit], list(range(1, limit + 1)))
                self.assertEqual(ids, list(range(1, len(ids) + 1)))
                self.assertTrue(refusals, "six calls beyond the limit, each a second after the last")
                for refusal in refusals:
                    self.assertEqual(refusal.args, (2, "rate_limited", "action rate limit exceeded"))
                    self.assertEqual(repr(refusal),
                                     "KestrelViolation(2, 'rate_limited', 'action rate limit exceeded')")
                    self.assertEqual(str(refusal),
                                     "KestrelViolation(axis=2, violation_type=rate_limited): action rate limit exceeded")

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
