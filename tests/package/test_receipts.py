"""Receipts checked outside the issuing boundary: the Python guard, the C guard in another process,
the C boundary's receipts, the README's layout tables, and the four-axis projection's Python face."""
import copy
import gc
import hashlib
import hmac
import io
import math
import os
import pathlib
import pickle
import re
import resource
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
import unittest
import warnings

import kestrel

try:
    import numpy
except ImportError:  # the numpy rows are skipped
    numpy = None

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from readme import README, readme_blocks  # noqa: E402

ROOT = README.parent


def issue(key, count=1, axis=3, position=0.25, velocity=1.5):
    boundary = kestrel.KestrelBoundary(hmac_key=key)
    return [boundary.authorize_action(axis, position, velocity) for _ in range(count)]


def flips(wire):
    """The wire form with one bit changed, for every byte."""
    for i in range(len(wire)):
        changed = bytearray(wire)
        changed[i] ^= 1 << (i % 8)
        yield i, bytes(changed)


class ReceiptGuardTest(unittest.TestCase):
    key = bytes(range(32))

    def refusal(self, guard, receipt, axis=3, position=0.25, velocity=1.5):
        with self.assertRaises(kestrel.KestrelViolation) as caught:
            guard.check(receipt, axis, position, velocity)
        self.assertEqual(caught.exception.axis, axis)
        return caught.exception.violation_type

    def violation(self, call, frame):
        with self.assertRaises(kestrel.KestrelViolation) as caught:
            call(frame)
        return caught.exception.axis, caught.exception.violation_type

    def test_accepts_once_then_refuses_replays_and_changes(self):
        first, second = (r.receipt_hash for r in issue(self.key, 2))
        guard = kestrel.ReceiptGuard(self.key)
        for i, changed in flips(first):
            with self.subTest(byte=i):
                # A flipped low bit of the sequence id makes it 0: a replay.
                self.assertIn(self.refusal(guard, changed), {"authentication_failure", "replay_counter"})
        for action in [(4, 0.25, 1.5), (3, -0.25, 1.5), (3, 0.25, 1.0), (3, 1.5, 0.25)]:
            with self.subTest(action=action):
                self.assertEqual(self.refusal(guard, first, *action), "authentication_failure")
        self.assertEqual(self.refusal(kestrel.ReceiptGuard(bytes(32)), first), "authentication_failure")

        with self.assertRaises(kestrel.KestrelViolation) as caught:
            kestrel.verify_receipt(self.key, first, 4, 0.25, 1.5)
        self.assertEqual(caught.exception.violation_type, "authentication_failure")
        for _ in range(2):  # stateless: verifies every time
            self.assertIsNone(kestrel.verify_receipt(self.key, first, 3, 0.25, 1.5))
        self.assertIsNone(guard.check(first, 3, 0.25, 1.5))  # the refusals left no trace
        self.assertEqual(self.refusal(guard, first), "replay_counter")
        self.assertIsNone(guard.check(bytearray(second), 3, 0.25, 1.5))
        self.assertEqual(self.refusal(guard, first), "replay_counter", "older than the last accepted")
        self.assertEqual(guard.last_sequence_id, 2)

        resumed = kestrel.ReceiptGuard(self.key, last_sequence_id=1)  # restarted after accepting `first`
        self.assertEqual((self.refusal(resumed, first), resumed.last_sequence_id), ("replay_counter", 1))
        self.assertIsNone(resumed.check(second, 3, 0.25, 1.5))
        self.assertEqual(resumed.last_sequence_id, 2)

    def test_frames_carry_the_signed_bits_and_are_checked_once(self):
        nan = struct.unpack("<d", struct.pack("<Q", 0xFFF0_0000_0000_1234))[0]  # signalling, signed, a payload
        receipt = issue(self.key, axis=-7, position=nan, velocity=-0.0)[0].receipt_hash
        frame = kestrel.encode_frame(-7, nan, -0.0, receipt)
        self.assertEqual(frame, frame_from_readme(-7, nan, -0.0, receipt))
        signed = (-7, struct.pack("<dd", nan, -0.0), receipt)

        def bits(got):
            return got.axis, struct.pack("<dd", got.position, got.velocity), got.receipt
        self.assertEqual(bits(kestrel.decode_frame(memoryview(frame))), signed)
        guard = kestrel.ReceiptGuard(self.key, max_age=60)
        refusals = [(frame[:83], "invalid_frame"), (frame + b"\0", "invalid_frame"),
                    (b"\2" + frame[1:], "invalid_frame"), (frame[:3] + b"\x80" + frame[4:], "invalid_frame"),
                    (frame[:9] + b"\x13" + frame[10:], "authentication_failure")]
        for data, violation in refusals:
            with self.subTest(data=data.hex(), violation=violation):
                axis = -7 if violation != "invalid_frame" else 0
                self.assertEqual(self.violation(guard.check_frame, data), (axis, violation))
                if axis == 0:
                    self.assertEqual(self.violation(kestrel.decode_frame, data), (0, violation))
        tiny = kestrel.ReceiptGuard(self.key, max_age=1e-9)  # any receipt is older than a nanosecond
        self.assertEqual(self.violation(tiny.check_frame, frame), (-7, "stale_receipt"))
        self.assertEqual(bits(guard.check_frame(bytearray(frame))), signed, "the refusals changed the guard")
        self.assertEqual(self.violation(guard.check_frame, frame), (-7, "replay_counter"))

    def test_argument_errors(self):
        receipt = issue(self.key)[0].receipt_hash
        guard = kestrel.ReceiptGuard(self.key)

        class Lying(bytes):  # its __len__ must never decide how much is read
            def __len__(self):
                return 60
        short = {"short": receipt[:59], "long": receipt + b"\0", "empty": b"", "lying": Lying(b"x")}
        for name, bad in short.items():
            with self.subTest(receipt=name):
                self.assertEqual(self.refusal(guard, bad), "invalid_receipt")
                with self.assertRaises(kestrel.KestrelViolation) as caught:
                    kestrel.parse_receipt(bad)
                self.assertEqual((caught.exception.axis, caught.exception.violation_type), (0, "invalid_receipt"))
                with self.assertRaises(kestrel.KestrelViolation) as caught:
                    kestrel._native.LogWriter(self.key).record(3, 0.25, 1.5, bad)
                self.assertEqual((caught.exception.axis, caught.exception.violation_type), (3, "invalid_receipt"))
        cases = [
            (ValueError, lambda: kestrel.ReceiptGuard(self.key[:31])),
            (ValueError, lambda: kestrel.ReceiptGuard(self.key + b"\0")),
            (ValueError, lambda: kestrel.ReceiptGuard(Lying(b"x"))),
            (TypeError, lambda: kestrel.ReceiptGuard(self.key.hex())),
            (TypeError, lambda: guard.check(receipt.hex(), 3, 0.25, 1.5)),
            (TypeError, lambda: guard.check(receipt, 3.0, 0.25, 1.5)),
            (OverflowError, lambda: guard.check(receipt, 2**31, 0.25, 1.5)),
            (TypeError, lambda: guard.check(receipt, 3, "0.25", 1.5)),
            (TypeError, lambda: guard.check_frame(bytes(84).hex())),
            (TypeError, lambda: kestrel.ReceiptGuard(self.key, "1")),
            (ValueError, lambda: kestrel.ReceiptGuard(self.key, max_age=0)),
            (ValueError, lambda: kestrel.ReceiptGuard(self.key, math.nan)),
            (ValueError, lambda: kestrel.ReceiptGuard(self.key, 2**64 / 1e9)),  # 2**64 ns
            (OverflowError, lambda: kestrel.ReceiptGuard(self.key, last_sequence_id=-1)),
        ]
        for exc, call in cases:
            with self.subTest(exc=exc):
                self.assertRaises(exc, call)
        # A strided buffer is refused by name, whichever object exports it.
        strided = [lambda data: memoryview(data * 2)[::2]]
        if numpy is not None:
            strided.append(lambda data: numpy.frombuffer(data * 2, dtype=numpy.uint8)[::2])
        for make in strided:
            for name, call in [("data", lambda: kestrel.parse_receipt(make(receipt))),
                               ("key", lambda: kestrel.ReceiptGuard(make(self.key))),
                               ("frame", lambda: kestrel.decode_frame(make(bytes(84))))]:
                with self.subTest(argument=name, exporter=type(make(b"")).__name__):
                    with self.assertRaisesRegex(TypeError, f"^argument '{name}': a contiguous bytes-like object"):
                        call()
        self.assertIsNone(guard.check(memoryview(receipt), 3, 0.25, 1.5), "argument errors changed the guard")

    def test_a_next_key_takes_over_at_its_first_receipt(self):
        new = bytes(range(1, 33))
        guard = kestrel.ReceiptGuard(self.key)
        guard.add_key(new)
        self.assertEqual(guard.key_count, 2)
        guard.check(issue(new)[0].receipt_hash, 3, 0.25, 1.5)
        self.assertEqual(guard.key_count, 1)
        self.assertRaises(AttributeError, setattr, guard, "key_count", 2)
        self.assertRaisesRegex(ValueError, "^key: a key of 32 zero bytes is refused", guard.add_key, bytes(32))
        with self.assertWarnsRegex(RuntimeWarning, "ReceiptGuard key is 32 zero bytes"):
            kestrel.ReceiptGuard(bytes(32))

    def test_a_guard_cannot_be_copied(self):
        receipts = [r.receipt_hash for r in issue(self.key, 2)]
        guard = kestrel.ReceiptGuard(bytearray(self.key))
        guard.check(receipts[0], 3, 0.25, 1.5)
        for copier in (copy.copy, copy.deepcopy, pickle.dumps):
            with self.subTest(copier=copier.__name__):
                with self.assertRaisesRegex(TypeError, "each accept the same receipt once"):
                    copier(guard)
        gc.collect()
        self.assertIsNone(guard.check(receipts[1], 3, 0.25, 1.5), "the refused copies wiped the guard")
        self.assertEqual(self.refusal(guard, receipts[0]), "replay_counter")

    def test_parse_receipt_reads_the_receipts_fields(self):
        receipt = issue(self.key)[0]
        fields = kestrel.parse_receipt(receipt.receipt_hash)
        self.assertEqual((fields.sequence_id, fields.timestamp_nanos), (receipt.sequence_id, receipt.timestamp_nanos))
        self.assertEqual(fields.nonce + struct.pack("<QQ", fields.timestamp_nanos, fields.sequence_id) + fields.tag,
                         receipt.receipt_hash)


def hkdf_sha256(salt, ikm, info, length):
    """HKDF as RFC 5869 writes it: extract, then expand."""
    prk = hmac.new(salt, ikm, "sha256").digest()
    okm, block = b"", b""
    for counter in range(1, -(-length // 32) + 1):
        block = hmac.new(prk, block + info + bytes([counter]), "sha256").digest()
        okm += block
    return okm[:length]


class KeysTest(unittest.TestCase):
    master = bytes(range(1, 33))

    def run_cli(self, *args, cwd, preexec_fn=None):
        return subprocess.run([sys.executable, "-m", "kestrel", *args], capture_output=True, text=True, cwd=cwd,
                              preexec_fn=preexec_fn)

    def test_derive_key_is_rfc5869_hkdf_and_refuses_what_is_no_key(self):
        for link_id in ["cell-3/axis-5", "é" * 127, b"\0", bytearray(255)]:
            with self.subTest(link_id=link_id):
                info = link_id.encode() if isinstance(link_id, str) else bytes(link_id)
                self.assertEqual(kestrel.derive_key(self.master, link_id),
                                 hkdf_sha256(b"kestrel link key v1", self.master, info, 32))
        for master, link_id, says in [(bytes(32), "a", "master: a key of 32 zero bytes"),
                                      (self.master, "", "link_id: a link id must be 1 to 255 bytes"),
                                      (self.master, b"x" * 256, "link_id: "), (self.master[:31], "a", "32 bytes")]:
            with self.subTest(master=master, link_id=link_id):
                self.assertRaisesRegex(ValueError, says, kestrel.derive_key, master, link_id)

    def test_key_files_are_made_owner_only_and_read_by_one_rule(self):
        d = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()))
        made = [self.run_cli("keygen", "master.key", cwd=d),
                self.run_cli("derive-key", "--master", "master.key", "--link", "arm/1", "--out", "arm1.key", cwd=d)]
        master = (d / "master.key").read_bytes()
        self.assertEqual((d / "arm1.key").read_bytes(), kestrel.derive_key(master, "arm/1"))
        for done, says, key in zip(made, ["keygen: wrote a new random key to master.key (32 bytes, mode 0600)\n",
                                          "derive-key: wrote the key of link 'arm/1', derived from master.key, to "
                                          "arm1.key (32 bytes, mode 0600)\n"], [master, (d / "arm1.key").read_bytes()]):
            with self.subTest(says):
                self.assertEqual((done.returncode, done.stdout), (0, says))
                self.assertNotIn(key.hex(), done.stdout + done.stderr)
        no_room = lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (0, 0))  # noqa: E731
        for args, preexec_fn, says in [(("keygen", "master.key"), None, "never overwritten"),
                                       (("keygen", "full.key"), no_room, "keygen: full.key: File too large"),
                                       (("derive-key", "--master", "master.key", "--link", "", "--out", "x.key"), None,
                                        "derive-key: --link: a link id must be 1 to 255 bytes")]:
            with self.subTest(args=args):
                failed = self.run_cli(*args, cwd=d, preexec_fn=preexec_fn)
                self.assertEqual(failed.returncode, 2)
                self.assertIn(says, failed.stderr)
        self.assertEqual(((d / "master.key").read_bytes(), (d / "full.key").exists()), (master, False))
        for name, content, mode in [("long", bytes(33), 0o600), ("empty", b"", 0o400), ("shared", master, 0o604),
                                    ("log.jsonl", b"{}\n" * 40, 0o644)]:
            (d / name).write_bytes(content)
            (d / name).chmod(mode)
        os.mkfifo(d / "fifo", 0o600)
        for path, says in [("master.key", None), ("absent", "absent: cannot open the key file: No such file"),
                           ("long", "holds exactly 32 bytes, but this one holds more than 32"),
                           ("empty", "but this one holds 0"), (".", "not a regular file"),
                           ("log.jsonl", "holds exactly 32 bytes, but this one holds more than 32"),
                           ("/dev/zero", "not a regular file"), ("fifo", "not a regular file"), ("shared", "mode 604); fix it with: chmod 600 /")]:
            with self.subTest(path=path):
                if says is None:
                    self.assertEqual(kestrel._native.read_key_file(d / path), master)
                else:
                    self.assertRaisesRegex(ValueError, re.escape(says), kestrel._native.read_key_file,
                                           path if path.startswith("/") else str(d / path))
        for stat in map(os.stat, [d / "master.key", d / "arm1.key"]):
            self.assertEqual(stat.st_mode & 0o777, 0o600)

    def test_a_boundary_rekeys_mid_stream_and_a_guard_follows(self):
        new = bytes(range(2, 34))
        boundary, guard = kestrel.Boundary(self.master), kestrel.ReceiptGuard(self.master)
        guard.add_key(new)
        for i in range(4):
            if i == 2:
                boundary.rekey(new)
            guard.check(boundary.authorize_action(0, 0.0, 1.0).receipt_hash, 0, 0.0, 1.0)
        self.assertEqual(guard.key_count, 1)
        # A receipt under a key the guard lacks says which keys it tried, and how a rotation is followed.
        stranger = kestrel.Boundary(bytes(range(3, 35))).authorize_action(0, 0.0, 1.0).receipt_hash
        for next_key, says in [(None, "under the guard's key; if the sender has rotated to a new key, give the guard "
                                      "that key first with add_key"), (new, "under the guard's current key and "
                                                                            "under its next key (add_key)")]:
            fresh = kestrel.ReceiptGuard(self.master)
            if next_key is not None:
                fresh.add_key(next_key)
            with self.subTest(says), self.assertRaises(kestrel.KestrelViolation) as caught:
                fresh.check(stranger, 0, 0.0, 1.0)
            self.assertEqual(caught.exception.args[2], "HMAC verification failed " + says)
        self.assertRaisesRegex(ValueError, "^new_key: a key of 32 zero bytes", boundary.rekey, bytes(32))
        self.assertRaisesRegex(ValueError, "^hmac_key: a key of 32 zero bytes", kestrel.Boundary, bytes(32))

    def test_both_boundaries_take_and_refuse_the_same_keys(self):
        # (hmac_key, kestrel.Boundary's answer, KestrelBoundary's): one rule, one text, except where
        # KestrelBoundary's own texts are fixed, and where its surface takes what Boundary refuses with a
        # warning (which the filter below raises). Nothing in this process has made it warn yet.
        length = (ValueError, "^hmac_key: key must be 32 bytes$")
        fixed_length = (ValueError, "^hmac_key must be exactly 32 bytes$")
        cases = [
            (bytes(31), length, fixed_length),
            (bytes(33), length, fixed_length),
            (b"", length, fixed_length),
            (bytes(32), (ValueError, "^hmac_key: a key of 32 zero bytes is refused: anyone can guess it$"),
             (RuntimeWarning, "^KestrelBoundary hmac_key is 32 zero bytes, a key anyone can guess: every receipt it "
                              "signs could be forged$")),
            ("k" * 32, (TypeError, "^argument 'hmac_key': a bytes-like object is required, not 'str'$"),
             (TypeError, "^argument 'hmac_key': 'str' object cannot be converted to 'PyBytes'$")),
            (None, (TypeError, "^argument 'hmac_key': a bytes-like object is required, not 'NoneType'$"),
             (RuntimeWarning, r"^KestrelBoundary\(\) without hmac_key signs with the built-in key")),
        ]
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for key, native, extension in cases:
                for face, (exc, text) in [(kestrel.Boundary, native), (kestrel.KestrelBoundary, extension)]:
                    with self.subTest(face=face.__name__, key=key):
                        self.assertRaisesRegex(exc, text, face, hmac_key=key)
        self.assertRaisesRegex(ValueError, "^new_key: key must be 32 bytes$", kestrel.Boundary(self.master).rekey,
                               bytes(31))


class ClockedBoundaryTest(unittest.TestCase):
    key = bytes(range(32))

    def outcome(self, boundary, velocity):
        try:
            receipt = boundary.authorize_action(3, 0.5, velocity)
        except kestrel.KestrelViolation as refusal:
            return refusal.args
        self.assertIsInstance(receipt, kestrel.KestrelReceipt)
        self.assertTrue(receipt.verify(self.key))
        return receipt.sequence_id

    def test_the_rules_and_refusals_of_kestrel_boundary(self):
        ours = kestrel.Boundary(self.key, 3, clock=kestrel.SimulatedClock(time.time_ns()))
        theirs = kestrel.KestrelBoundary(3, hmac_key=self.key)
        for velocity in (4.18, -5.0, math.nan, math.nextafter(4.18, 5), 0.0, 1.0, 1.0):
            with self.subTest(velocity=velocity):
                self.assertEqual(self.outcome(ours, velocity), self.outcome(theirs, velocity))
        self.assertRaises(TypeError, kestrel.Boundary)  # no built-in key

    def test_limits_per_axis_from_a_sequence_or_load_joint_limits_dict(self):
        arm = {"shoulder": kestrel.JointLimits(-1.0, 1.0, 2.0), "finger": kestrel.JointLimits(0.0, 0.04, 0.1)}
        for limits in (arm, list(arm.values())):
            boundary = kestrel.Boundary(self.key, clock=kestrel.SimulatedClock(10**18), limits=limits)
            for axis, position, velocity, expected in ((1, 0.04, 0.1, 1), (1, 0.05, 0.0, "position_out_of_range"),
                                                        (1, 0.0, 0.2, "velocity_exceeded"),
                                                        (2, 0.0, 0.0, "position_out_of_range"), (0, 1.0, -2.0, 2)):
                with self.subTest(limits=type(limits).__name__, axis=axis, position=position, velocity=velocity):
                    try:
                        outcome = boundary.authorize_action(axis, position, velocity).sequence_id
                    except kestrel.KestrelViolation as refusal:
                        outcome = refusal.violation_type
                    self.assertEqual(outcome, expected)
        with self.assertRaisesRegex(TypeError, "argument 'limits'"):
            kestrel.Boundary(self.key, limits=arm["shoulder"])
        self.assertEqual(kestrel.Boundary(self.key, limits=None).authorize_action(9, 1e9, 0.0).sequence_id, 1)

    def test_a_simulated_loop_runs_faster_than_real_time_without_a_refusal(self):
        clock = kestrel.SimulatedClock(1_700_000_000 * 10**9)
        boundary = kestrel.Boundary(self.key, rate_limit=7000, clock=clock)
        guard = kestrel.ReceiptGuard(self.key, max_age=0.001, clock=clock)
        for period in range(10_000):  # ten simulated seconds, seven joints at 1 kHz
            for joint in range(7):
                receipt = boundary.authorize_action(joint, 0.0, 1.0)
            clock.advance(0.001)
        self.assertEqual((receipt.sequence_id, receipt.timestamp_nanos), (70_000, clock.now_ns - 1_000_000))
        guard.check(receipt.receipt_hash, 6, 0.0, 1.0)

    def test_callable_clocks(self):
        readings = iter([10**18, 2 * 10**18, 10**18, ValueError("clock stopped"), 2.5, -1, "late", 3 * 10**18])

        def clock():
            value = next(readings)
            if isinstance(value, Exception):
                raise value
            return value
        boundary = kestrel.Boundary(self.key, clock=clock)  # reads 1e18: the first window opens
        self.assertEqual(boundary.authorize_action(0, 0, 0).timestamp_nanos, 2 * 10**18)
        self.assertEqual(boundary.authorize_action(0, 0, 0).timestamp_nanos, 2 * 10**18, "never back")
        for error in (ValueError, TypeError, ValueError, TypeError):
            with self.subTest(error=error), self.assertRaises(error):
                boundary.authorize_action(0, 0, 0)
        receipt = boundary.authorize_action(0, 0, 0)
        self.assertEqual((receipt.sequence_id, receipt.timestamp_nanos), (3, 3 * 10**18), "nothing signed on errors")
        guard = kestrel.ReceiptGuard(self.key, max_age=1, clock=lambda: 4 * 10**18)
        with self.assertRaises(kestrel.KestrelViolation) as caught:
            guard.check(receipt.receipt_hash, 0, 0, 0)
        self.assertEqual(caught.exception.violation_type, "stale_receipt")
        with self.assertRaisesRegex(TypeError, "argument 'clock'"):
            kestrel.ReceiptGuard(self.key, clock=5)

    def test_every_seconds_argument_refuses_a_bool(self):
        clock, limits = kestrel.SimulatedClock(), [kestrel.JointLimits(-1.0, 1.0, 1.0, 1.0, 1.0)]
        for name, call in [("max_age", lambda: kestrel.ReceiptGuard(self.key, max_age=True)),
                           ("seconds", lambda: clock.advance(True)), ("timeout", lambda: kestrel.Watchdog(True)),
                           ("period", lambda: kestrel.JointLimiter(limits, period=True)),
                           ("checkpoint_seconds",
                            lambda: kestrel.ReceiptLogWriter(io.StringIO(), self.key, checkpoint_seconds=True))]:
            with self.subTest(name), self.assertRaisesRegex(TypeError, f"^argument '{name}': a number of seconds, "):
                call()
        self.assertEqual(clock.now_ns, 0)

    def test_simulated_clock_steps(self):
        clock = kestrel.SimulatedClock(5)
        clock.advance(1e-9)
        clock.advance_ns(4)
        self.assertEqual(clock.now_ns, 10)
        for step, error in [(lambda: clock.advance(-1e-9), ValueError), (lambda: clock.advance_ns(-1), ValueError),
                            (lambda: clock.advance(math.nan), ValueError), (lambda: clock.advance_ns(2**64), OverflowError),
                            (lambda: clock.advance_ns(1.0), TypeError)]:
            with self.subTest(error=error), self.assertRaises(error):
                step()
        self.assertEqual(clock.now_ns, 10, "refused steps moved the clock")
        threads = [threading.Thread(target=lambda: [clock.advance_ns(1) for _ in range(10_000)]) for _ in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(clock.now_ns, 40_010)


class CrossProcessTest(unittest.TestCase):
    """A receipt from a boundary in this process, checked by guards in other processes."""

    def setUp(self):
        self.key = os.urandom(32)
        self.receipts = issue(self.key, 2, axis=-2, position=-0.0, velocity=math.pi)

    def lines(self, *wires):
        return "".join(f"-2 {(-0.0).hex()} {math.pi.hex()} {w.hex()}\n" for w in wires)

    def test_c_guard(self):
        program = os.environ.get("KESTREL_RECEIPT_CHECK")
        self.assertTrue(program, "KESTREL_RECEIPT_CHECK names the C consumer program (set by CTest)")
        first, second = (r.receipt_hash for r in self.receipts)
        changed = [w for _, w in flips(first)]
        out = subprocess.run([program, self.key.hex()], input=self.lines(first, first, *changed, second),
                             capture_output=True, text=True, check=True).stdout.splitlines()
        self.assertEqual(out[:2], ["verify=0 guard=0", "verify=0 guard=7"])
        for i, line in enumerate(out[2:-1]):
            with self.subTest(byte=i):
                self.assertTrue(line.startswith("verify=6 guard="), line)
                self.assertNotEqual(line, "verify=6 guard=0")
        self.assertEqual(out[-1], "verify=0 guard=0")
        self.assertEqual(len(out), 3 + len(changed))

    def test_python_guard(self):
        script = textwrap.dedent("""
            import sys, kestrel
            key, wire = (bytes.fromhex(h) for h in sys.argv[1:])
            guard = kestrel.ReceiptGuard(key)
            for _ in range(2):
                try:
                    guard.check(wire, -2, -0.0, 3.141592653589793)
                    print("accepted")
                except kestrel.KestrelViolation as refusal:
                    print(refusal.violation_type)
        """)
        wire = self.receipts[0].receipt_hash
        out = subprocess.run([sys.executable, "-c", script, self.key.hex(), wire.hex()],
                             capture_output=True, text=True, check=True).stdout.split()
        self.assertEqual(out, ["accepted", "replay_counter"])

    def test_c_boundary_receipts_pass_the_python_guard_once(self):
        with tempfile.TemporaryDirectory() as directory:  # KESTREL_BOUNDARY_CONTROLLER: set by CTest
            key_file = pathlib.Path(directory, "link.key")
            key_file.write_bytes(self.key)
            key_file.chmod(0o600)  # the controller refuses a key others may read
            out = subprocess.run([os.environ["KESTREL_BOUNDARY_CONTROLLER"], key_file], capture_output=True,
                                 check=True).stdout
        frames = [out[at:at + 84] for at in range(0, len(out), 84)]
        self.assertEqual(len(frames), 5)
        guard = kestrel.ReceiptGuard(self.key, max_age=60)
        for frame in frames:
            self.assertEqual(guard.check_frame(frame), kestrel.decode_frame(frame))
            with self.assertRaises(kestrel.KestrelViolation) as caught:
                guard.check_frame(frame)
            self.assertEqual(caught.exception.violation_type, "replay_counter")

def readme_table(heading_text):
    """The rows of the first Markdown table after the paragraph containing heading_text."""
    text = README.read_text()
    start = text.index(heading_text)
    rows = []
    for line in text[start:].splitlines()[1:]:
        if line.startswith("|"):
            rows.append([cell.strip() for cell in line.strip("|").split("|")])
        elif rows:
            break
    return [dict(zip(rows[0], row)) for row in rows[2:]]


def frame_from_readme(axis, position, velocity, receipt):
    """A command frame laid out by the README's table alone."""
    values = {"axis": axis, "position": position, "velocity": velocity, "receipt": receipt}
    encode = {"u8, always 1": lambda _: b"\1", "zero bytes": lambda _: bytes(3),
              "i32 little-endian": lambda v: struct.pack("<i", v), "IEEE-754 double, little-endian":
              lambda v: struct.pack("<d", v), "the receipt wire form above": lambda v: v}
    frame = b""
    for row in readme_table("Signed command frame"):
        field = encode[row["Encoding"]](values.get(row["Field"]))
        assert (int(row["Offset"]), int(row["Size"])) == (len(frame), len(field)), row
        frame += field
    return frame


class FrameReceiverTest(unittest.TestCase):
    """examples/c/frame_receiver.c on 127.0.0.1, fed by a boundary's frames and an attacker's."""

    def test_genuine_frames_are_accepted_once_in_order_and_every_attack_refused(self):
        key = os.urandom(32)
        boundary = kestrel.KestrelBoundary(hmac_key=key)

        def genuine():
            receipt = boundary.authorize_action(-2, -0.0, 1.5)
            return f"accepted {receipt.sequence_id}", frame_from_readme(-2, -0.0, 1.5, receipt.receipt_hash)

        def script():  # (datagram, the line it must give), built as sent, so that only the held-back frame ages
            (first, one), (_, two), (third, three) = genuine(), genuine(), genuine()
            yield from [(one, first), (one, "refused replay_counter"), (three, third), (two, "refused replay_counter")]
            accepted, frame = genuine()
            # Version, reserved, axis, the sign of -0.0, velocity, nonce, timestamp (judged after the tag), tag.
            for byte, bit in [(0, 0), (3, 7), (4, 0), (15, 7), (16, 0), (24, 3), (43, 6), (83, 1)]:
                error = "invalid_frame" if byte < 4 else "authentication_failure"
                yield frame[:byte] + bytes([frame[byte] ^ 1 << bit]) + frame[byte + 1:], f"refused {error}"
            yield from [(frame[:-1], "refused invalid_frame"), (frame + b"\0", "refused invalid_frame"), (frame, accepted)]
            frame = genuine()[1]
            time.sleep(1.5)  # past the receiver's maximum age of 1000 ms
            yield frame, "refused stale_receipt"
            accepted, frame = genuine()
            yield frame, accepted

        key_file = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()), "key")
        key_file.write_bytes(key)
        key_file.chmod(0o600)
        receiver = self.enterContext(subprocess.Popen(
            [os.environ["KESTREL_FRAME_RECEIVER"], key_file, "1000", "17"],
            stdout=subprocess.PIPE, text=True))
        port = int(receiver.stdout.readline().removeprefix("port "))  # printed once the key is read
        want = []
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            for datagram, line in script():
                sender.sendto(datagram, ("127.0.0.1", port))
                want.append(line)
        self.assertEqual(len(want), 17)
        out, _ = receiver.communicate(timeout=10)
        self.assertEqual(out.splitlines(), want, "one line per datagram, in order, and nothing else")
        self.assertEqual(receiver.returncode, 0)

    def test_a_stop_and_continue_does_not_end_the_wait(self):
        key = os.urandom(32)
        receipt = kestrel.KestrelBoundary(hmac_key=key).authorize_action(1, 0.5, 0.5)
        key_file = pathlib.Path(self.enterContext(tempfile.TemporaryDirectory()), "key")
        key_file.write_bytes(key)
        key_file.chmod(0o600)
        receiver = self.enterContext(subprocess.Popen(
            [os.environ["KESTREL_FRAME_RECEIVER"], key_file, "60000", "1"], stdout=subprocess.PIPE, text=True))
        port = int(receiver.stdout.readline().removeprefix("port "))
        time.sleep(0.2)  # into its wait for a datagram
        receiver.send_signal(signal.SIGSTOP)
        time.sleep(0.2)
        receiver.send_signal(signal.SIGCONT)
        time.sleep(0.2)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.sendto(frame_from_readme(1, 0.5, 0.5, receipt.receipt_hash), ("127.0.0.1", port))
        out, _ = receiver.communicate(timeout=10)
        self.assertEqual((out, receiver.returncode), (f"accepted {receipt.sequence_id}\n", 0))


class ReadmeLayoutTest(unittest.TestCase):
    """A third party's verifier, written from the README's tables alone."""

    def test_tag_recomputed_from_the_readme(self):
        key = os.urandom(32)
        for axis, position, velocity in [(3, 0.25, 1.5), (-1, -0.0, 1e-300), (12, 2.0, -4.0)]:
            with self.subTest(axis=axis):
                receipt = issue(key, axis=axis, position=position, velocity=velocity)[0]
                self.assertTrue(hmac.compare_digest(self.tag_from_readme(key, receipt.receipt_hash, axis, position,
                                                                         velocity), receipt.receipt_hash[28:]))

    def tag_from_readme(self, key, wire, axis, position, velocity):
        wire_fields = {}
        for row in readme_table("Receipt wire form"):
            offset, size = int(row["Offset"]), int(row["Size"])
            wire_fields[row["Field"]] = wire[offset:offset + size]
        self.assertEqual(sum(len(v) for v in wire_fields.values()), 60)

        action = re.search(r"ASCII `(\w+)` then the axis in decimal", README.read_text()).group(1) + str(axis)
        values = {"nonce": wire_fields["nonce"], "timestamp_nanos": wire_fields["timestamp_nanos"],
                  "sequence_id": wire_fields["sequence_id"], "n, the action id length": len(action),
                  "action id": action.encode("ascii"), "payload length, 16": 16, "position": position,
                  "velocity": velocity}
        message = b""
        n = len(action)
        for row in readme_table("The tag is HMAC-SHA-256"):
            self.assertEqual(eval(row["Offset"], {"n": n}), len(message), row)  # offsets have no gaps
            value, encoding = values[row["Field"]], row["Encoding"]
            if encoding == "u64 little-endian":
                field = value if isinstance(value, bytes) else struct.pack("<Q", value)
            elif encoding == "IEEE-754 double, little-endian":
                field = struct.pack("<d", value)
            else:
                field = value
            self.assertEqual(len(field), eval(row["Size"], {"n": n}), row)
            message += field
        return hmac.new(key, message, hashlib.sha256).digest()

    def test_readme_c_excerpts_are_the_examples_own(self):
        examples = "".join(p.read_text() for p in (ROOT / "examples" / "c").glob("*.c"))
        blocks = readme_blocks("Signing and checking from C", "c")
        self.assertEqual([block.code in examples for block in blocks], [True, True])  # the controller's, the receiver's


class Project4dTest(unittest.TestCase):
    box = ((-1,) * 4, (1,) * 4)

    def test_known_answers(self):
        cases = [
            ((2, 2, 0, 0), [(1, 1, 0, 0)], [1], (0.5, 0.5, 0, 0), kestrel.SolveStatus.OPTIMAL),
            ((0.1, -3, 0, 0), [], [], (kestrel.project_4d((0.1,) * 4, *self.box).x[0], -1, 0, 0),
             kestrel.SolveStatus.OPTIMAL),
            ((math.nan, 0, 0, 0), [], [], None, kestrel.SolveStatus.INVALID_INPUT),
            ((0, 0, 0, 0), [(1, 0, 0, 0)], [-2], None, kestrel.SolveStatus.INFEASIBLE),
        ]
        for u, rows, limits, x, status in cases:
            with self.subTest(u=u, rows=rows):
                result = kestrel.project_4d(u, *self.box, rows=rows, limits=limits)
                self.assertIs(type(result.status), kestrel.SolveStatus)
                self.assertEqual(result.status, status)
                if x is not None:
                    self.assertEqual(result.x, x)
        self.assertEqual(kestrel.project_4d((0.1,) * 4, *self.box).x[0], 0.10000000149011612, "single precision")
        self.assertEqual([s.name for s in kestrel.SolveStatus],
                         ["INVALID_INPUT", "OPTIMAL", "MAX_ITERATIONS", "INFEASIBLE", "NUMERICAL_FAILURE"])

    def test_wrong_lengths(self):
        row = (1, 0, 0, 0)
        for args in [((0,) * 3, *self.box), ((0,) * 4, (-1,) * 5, (1,) * 4), ((0,) * 4, (-1,) * 4, ()),
                     ((0,) * 4, *self.box, [row] * 5, [1] * 5), ((0,) * 4, *self.box, [row], []),
                     ((0,) * 4, *self.box, [(1, 0, 0)], [1]), ((0,) * 4, *self.box, [], [1])]:
            with self.subTest(args=args):
                self.assertRaises(ValueError, kestrel.project_4d, *args)


if __name__ == "__main__":
    unittest.main()
