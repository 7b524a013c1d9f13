"""The receipt log: written by the demo, checked by `python3 -m kestrel verify-log`."""
import contextlib
import decimal
import hashlib
import hmac
import io
import json
import math
import os
import pathlib
import random
import re
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import kestrel
import kestrel._cli
from kestrel.receipt_log import ReceiptLogWriter, verify_log, verify_log_file

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The random keys and numbers of a run come from one seed, printed when a test fails: set KESTREL_TEST_SEED to it
# to run the same again.
SEED = int(os.environ.get("KESTREL_TEST_SEED") or random.SystemRandom().randrange(2**32))
RNG = random.Random(SEED)


class SeededTest(unittest.TestCase):
    def run(self, result=None):
        result = result if result is not None else self.defaultTestResult()
        before = len(result.failures) + len(result.errors)
        outcome = super().run(result)
        if len(result.failures) + len(result.errors) > before:
            print(f"\n{self.id()}: KESTREL_TEST_SEED={SEED}", file=sys.stderr)
        return outcome


def double(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


class KeptStream(io.StringIO):
    def close(self):  # the writer closes its stream; the test still reads it
        pass


def flip(text, i):
    """text with the hex digit at i changed."""
    return text[:i] + ("1" if text[i] == "0" else "0") + text[i + 1:]


def make_log(key, actions, **checkpoints):
    """The lines of a log of actions through writer.authorize; a velocity over 4.18 is a refusal line."""
    boundary = kestrel.KestrelBoundary(hmac_key=key, rate_limit=10**9)
    stream = KeptStream()
    with ReceiptLogWriter(stream, key, **checkpoints) as writer:
        for axis, position, velocity in actions:
            try:
                writer.authorize(boundary, axis, position, velocity)
            except kestrel.KestrelViolation:
                pass
    return stream.getvalue().splitlines()


def trip_log(key, trips):
    """The lines of a log of a monitor's trips, and its final seal."""
    stream = KeptStream()
    with ReceiptLogWriter(stream, key) as writer:
        for trip in trips:
            writer.record_trip(trip)
    return stream.getvalue().splitlines()


def old_log(key, actions):
    """Lines as the writer wrote them before the seal: bare NaN and Infinity, no seal."""
    boundary = kestrel.KestrelBoundary(hmac_key=key)
    return [json.dumps({"axis": a, "position": p, "velocity": v, "receipt": boundary.authorize_action(a, p, v)
                        .receipt_hash.hex()}) for a, p, v in actions]


class VerifyLogTest(SeededTest):
    key = RNG.randbytes(32)
    sealed = make_log(key, [(0, 0.0, 0.5), (1, -0.125, 1.0), (2, 1e-9, -2.0), (-3, 3.5, 0.0), (0, 0.1, 0.25)])
    # Checkpoints after every 2 lines: action, action, checkpoint (line 3), action, refusal, checkpoint (6), ...
    checked = make_log(key, [(i % 3, i / 8, 9.0 if i % 4 == 3 else 0.5) for i in range(8)], checkpoint_lines=2,
                       checkpoint_seconds=None)
    tripped = trip_log(key, [kestrel.Trip("SLP", 2, 1.5, 1.25, 10**18), kestrel.Trip("SS1", 6, -0.5, -0.25, 10**18 + 1),
                             kestrel.Trip("measurement", 0, math.nan, math.nan, 10**18 + 2)])

    def test_tampering_and_hostile_lines(self):
        good, seal = self.sealed[:5], self.sealed[5]
        edited = good[2].replace('"axis": 2', '"axis": 4')
        forged = flip(good[1], -10)  # inside the receipt's hex digits
        hostile = [
            "[" * 1024, "[" * 5000 + "]" * 5000, good[0] + " " * 1024, "", "[1]", '"x"', "{",
            b"\xff\xfe" + good[0].encode(), good[0][:9] + "\udcff" + good[0][9:], '{"axis": 1}',
            good[0][:-1] + ', "note": 1}',
            '{"axis": 99, "position": 123.0, ' + good[0][1:], good[0].replace('"axis": 0', '"axis": "0"'),
            good[0].replace('"axis": 0', '"axis": true'), good[0].replace('"axis": 0', '"axis": 2147483648'),
            good[0].replace("0.0", "1" + "0" * 400), good[0].replace("0.0", "1e400"), good[0].replace("0.0", "0"),
            good[0].replace("0.0", "0.00"), good[0].replace("0.0", '"nan:3ff0000000000000"'),
            good[0].replace("0.0", "NaNa"), good[0].replace('"receipt": "', '"receipt": "A'),
            good[0][:-60] + good[0][-59:], self.tripped[0].replace('"SLP"', '"STO"'),
            self.tripped[0].replace('"joint": 2', '"joint": -2'),
        ]
        specials = [math.nan, -math.nan, math.inf - math.inf, double(0x7FF0000000000001), double(0xFFF8DEADBEEF0001),
                    math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308]
        checked, cut = self.checked, self.checked[:6]
        padded = seal[:-1] + " " * (1024 - len(seal)) + "}\r" + good[0]
        # (name, log, findings as (line, code), exit code of verify-log --strict)
        cases = [
            ("untouched", self.sealed, [], 0),
            ("every double, NaN bits too", make_log(self.key, [(i, x, 0.0) for i, x in enumerate(specials)]), [], 0),
            ("checkpoints and refusals", checked, [], 0),
            ("trips", self.tripped, [], 0),
            ("a trip line changed", [self.tripped[0].replace("1.25", "1.5")] + self.tripped[1:], [(4, "seal")], 1),
            ("cut after a checkpoint", cut, [], 3),
            ("a checkpoint passed off as final", cut[:5] + [cut[5].replace("checkpoint", "seal")], [(6, "seal")], 1),
            ("a refusal line changed", checked[:10] + [checked[10].replace("0.875", "0.5")] + checked[11:],
             [(12, "seal"), (13, "seal")], 1),
            ("padded seal", good + [padded], [(6, "malformed")], 1),
            ("seal of -1 lines", good + [seal.replace('"lines": 5', '"lines": -1')], [(6, "seal")], 1),
            ("seal respaced", good + [seal.replace('", "', '",  "', 1)], [(6, "seal")], 1),
            ("written before the seal", old_log(self.key, [(0, math.inf, 0.0), (1, -math.inf, 0.5),
                                                           (2, math.nan, 0.0), (3, -math.nan, 0.0)]),
             [(4, "authentication_failure")], 1),
            ("reordered", [good[0], good[2], good[1], good[3], good[4]], [(2, "gap"), (3, "replay_counter")], 1),
            ("duplicated", good[:2] + [good[1]] + good[2:], [(3, "replay_counter")], 1),
            ("edited", good[:2] + [edited] + good[3:], [(3, "authentication_failure"), (4, "gap")], 1),
            ("edited receipt", good[:1] + [forged] + good[2:], [(2, "authentication_failure"), (3, "gap")], 1),
            ("removed first", good[1:], [(1, "gap")], 1),
            *((f"hostile {line[:30]!r}", good[:1] + [line] + good[1:], [(2, "malformed")], 1) for line in hostile),
            ("emptied", [], [], 3),
            ("seal cut off", good, [], 3),
            ("last line cut off", good[:4] + [seal], [(5, "seal")], 1),
            ("line removed", good[:2] + good[3:] + [seal], [(3, "gap"), (5, "seal")], 1),
            ("line respaced", [good[0].replace(", ", ",  ", 1)] + good[1:] + [seal],
             [(1, "malformed"), (2, "gap"), (6, "seal")], 1),
            ("seal forged", good + [flip(seal, len('{"seal": "'))], [(6, "seal")], 1),
            ("lines after the seal", self.sealed + [good[0]], [(7, "after_final_seal"), (7, "replay_counter")], 1),
        ]
        for name, log, expected, strict_exit in cases:
            with self.subTest(name):
                findings = []
                report = verify_log(log, self.key, findings.append)
                self.assertEqual([(f.line, f.code) for f in findings], expected, findings)
                self.assertEqual((report.lines, report.exit_code(strict=True)), (len(log), strict_exit))
                self.assertEqual(report.ok(), all(code in ("gap", "after_final_seal") for _, code in expected))
                self.assertEqual(report.seal, "invalid" if "seal" in dict(expected).values() else
                                 "valid" if strict_exit == 0 else "missing")
        self.assertEqual(verify_log(checked, self.key).refusals, {"velocity_exceeded": 2})
        self.assertEqual(verify_log(self.tripped, self.key).trips, {"SLP": 1, "SS1": 1, "measurement": 1})
        with self.assertRaisesRegex(ValueError, "not a monitor's trip"):
            ReceiptLogWriter(KeptStream(), self.key).record_trip(kestrel.Trip("none", 0, 0.0, 0.0, 0))
        findings = []
        verify_log(good[:2] + good[3:], self.key, findings.append)
        self.assertEqual(findings[0].text, "ids 3..3 missing after line 2 (id 2), before line 3 (id 4)")

    def test_seal_is_the_documented_one(self):
        digest = hashlib.sha256("".join(line + "\n" for line in self.sealed[:5]).encode()).digest()
        seal_key = hmac.new(self.key, b"kestrel receipt log seal", "sha256").digest()
        tag = hmac.new(seal_key, struct.pack("<Q", 5) + digest, "sha256").hexdigest()
        self.assertEqual(json.loads(self.sealed[5]), {"seal": tag, "lines": 5, "sha256": digest.hex()})
        # A rotation: the same over the count, the digest and the next key's fingerprint, under its own label.
        stream, new_key = KeptStream(), RNG.randbytes(32)
        writer = ReceiptLogWriter(stream, self.key)
        writer.record_refusal(kestrel.KestrelViolation(3, "velocity_exceeded"), 0.5, 9.0)
        writer.rekey(new_key)
        refusal, rotation = stream.getvalue().splitlines()
        fingerprint = hmac.new(new_key, b"kestrel key fingerprint v1", "sha256").digest()[:8]
        self.assertEqual(kestrel.receipt_log.key_fingerprint(new_key), fingerprint)
        digest = hashlib.sha256((refusal + "\n").encode()).digest()
        rotation_key = hmac.new(self.key, b"kestrel receipt log rotation", "sha256").digest()
        tag = hmac.new(rotation_key, struct.pack("<Q", 1) + digest + fingerprint, "sha256").hexdigest()
        self.assertEqual(json.loads(rotation), {"rotation": tag, "lines": 1, "sha256": digest.hex(),
                                                "next_key": fingerprint.hex()})

    def test_wrong_key_refuses_every_line(self):
        report = verify_log(self.sealed, bytes(32))
        self.assertEqual(report.refused, {"authentication_failure": 5, "seal": 1})
        self.assertEqual(report.first_bad_line, 1)

    def test_numbers_are_written_as_python_writes_them(self):
        writer, boundary = kestrel._native.LogWriter(self.key), kestrel.KestrelBoundary(hmac_key=self.key,
                                                                                        rate_limit=10**9)
        for bits in [RNG.getrandbits(64) for _ in range(3000)]:
            x = double(bits)
            if math.isfinite(x):
                line = writer.record(0, x, 0.0, boundary.authorize_action(0, x, 0.0).receipt_hash)
                self.assertEqual(json.loads(line)["position"], x)
                self.assertIn(f'"position": {x!r},', line)
        # Short decimals, what most logs hold, are read without the general reader: each reads back to its
        # bits (else its tag fails), and no other spelling of it is read.
        rng = random.Random(5)
        values = [round(rng.uniform(-1, 1) * 10.0**rng.randint(-6, 16), rng.randint(0, 19)) for _ in range(3000)]
        log = make_log(self.key, [(0, x, 0.0) for x in values])
        self.assertTrue(verify_log(log, self.key).ok(strict=True))
        for line, x in zip(log[:300], values):
            text = repr(x)
            sign, digits = ("-", text[1:]) if text.startswith("-") else ("+", text)
            others = {text + "0", sign + "0" + digits, sign + digits, f"{x:.17g}", f"{x:e}",
                      f"{decimal.Decimal(text):f}"}
            for other in [o for o in others if o != text and float(o) == x]:
                with self.subTest(text=text, other=other):
                    wrong = line.replace(f'"position": {text},', f'"position": {other},')
                    self.assertEqual(verify_log([wrong], self.key).refused, {"malformed": 1})


class WriterTest(SeededTest):
    key = RNG.randbytes(32)

    def test_record_refuses_what_would_fail_the_check(self):
        boundary = kestrel.KestrelBoundary(hmac_key=self.key, rate_limit=10**9)
        first, second = (boundary.authorize_action(1, 0.5, 0.25) for _ in range(2))
        for name, calls, says in [
            ("another action", [(1, 0.5, 0.5, first)], "(authentication_failure: HMAC verification failed)"),
            ("twice", [(1, 0.5, 0.25, first)] * 2, "(replay_counter: monotonic counter violation (replay))"),
            ("out of order", [(1, 0.5, 0.25, second), (1, 0.5, 0.25, first)], "(replay_counter"),
            ("another key", [(1, 0.5, 0.25, kestrel.KestrelBoundary(hmac_key=bytes(32)).authorize_action(1, 0.5,
                                                                                                         0.25))],
             "(authentication_failure"),
        ]:
            with self.subTest(name):
                stream = KeptStream()
                writer = ReceiptLogWriter(stream, self.key)
                for call in calls[:-1]:
                    writer.record(*call)
                written = stream.getvalue()
                with self.assertRaisesRegex(ValueError, "refused, as a receipt guard under this log's key refuses it "
                                                        + re.escape(says)):
                    writer.record(*calls[-1])
                self.assertEqual(stream.getvalue(), written)

    def test_a_failed_write_ends_the_log_as_a_crash_does(self):
        class FullDisk(KeptStream):
            """Fails the write of line `at` (1-based) halfway, as a full disk does, and every write after it."""
            name = "full.jsonl"

            def __init__(self, at):
                super().__init__()
                self.at, self.writes = at, 0

            def write(self, text):
                self.writes += 1
                if self.writes >= self.at:
                    super().write(text[:len(text) // 2] if self.writes == self.at else "")
                    raise OSError(28, "No space left on device")
                return super().write(text)

        boundary = kestrel.KestrelBoundary(hmac_key=self.key, rate_limit=10**9)
        # Checkpoints after every 2 lines: record, record, checkpoint (write 3), record, ...
        # A failed checkpoint is told by the next call, or by close when none follows.
        for at, receipts_returned in [(1, 0), (2, 1), (3, 2), (4, 2), (6, 4)]:
            with self.subTest(failing_write=at):
                stream, boundary = FullDisk(at), kestrel.KestrelBoundary(hmac_key=self.key, rate_limit=10**9)
                writer = ReceiptLogWriter(stream, self.key, checkpoint_lines=2, checkpoint_seconds=None)
                returned, errors = 0, []
                for i in range(4):
                    try:
                        writer.authorize(boundary, 0, i / 4, 0.5)
                        returned += 1
                    except OSError as error:
                        errors.append(str(error))
                try:
                    writer.close()
                except OSError as error:
                    errors.append(str(error))
                self.assertEqual(returned, receipts_returned)
                self.assertTrue(errors and all("receipt log full.jsonl: " in e for e in errors), errors)
                report = verify_log_file(io.BytesIO(stream.getvalue().encode()), self.key)
                self.assertEqual((report.exit_code(), report.exit_code(strict=True)), (0, 3))
                self.assertEqual(report.accepted, returned)

    def test_threads_sharing_a_boundary_and_a_writer(self):
        boundary = kestrel.KestrelBoundary(hmac_key=self.key, rate_limit=10**9)
        stream = KeptStream()

        def work(axis):
            for i in range(300):
                try:
                    writer.authorize(boundary, axis, i / 300, 9.0 if i % 10 == 0 else 0.5)
                except kestrel.KestrelViolation:
                    pass

        with ReceiptLogWriter(stream, self.key, checkpoint_lines=97) as writer:
            threads = [threading.Thread(target=work, args=(axis,)) for axis in range(8)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        report = verify_log(stream.getvalue().splitlines(), self.key)
        self.assertEqual((report.exit_code(strict=True), report.accepted, report.refusals),
                         (0, 8 * 270, {"velocity_exceeded": 8 * 30}))


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)
        self.path = pathlib.Path(self.dir.name)

    def run_cli(self, *args):
        return subprocess.run([sys.executable, "-m", "kestrel", *args], capture_output=True, text=True,
                              cwd=self.path)

    def test_demo_log_checks_out_and_tampering_fails(self):
        demo = subprocess.run([sys.executable, str(ROOT / "examples/control_loop.py"), "--log", "run.jsonl",
                               "--key-file", "run.key"], capture_output=True, text=True, cwd=self.path)
        self.assertEqual(demo.returncode, 0, demo.stderr)
        self.assertEqual(len((self.path / "run.key").read_bytes()), 32)
        self.assertEqual(os.stat(self.path / "run.key").st_mode & 0o777, 0o600)
        ok = self.run_cli("verify-log", "--strict", "--key-file", "run.key", "run.jsonl")
        self.assertEqual(ok.returncode, 0, ok.stdout + ok.stderr)
        lines = (self.path / "run.jsonl").read_text().splitlines()
        n = len(lines) - 1  # the actions, refusals and any checkpoints, then the seal
        actions = sum(line.startswith('{"axis"') for line in lines)
        self.assertIn(f"receipt log: {actions} actions and 3 refusals", demo.stdout)
        self.assertIn(f"lines: {n + 1}\naccepted: {actions}\nfailed: none\nrefusals: velocity_exceeded=3\ntrips: none\n"
                      f"gaps: 0\n"
                      f"seal: valid: line {n + 1} seals the {n}", ok.stdout)
        # Under another key every line but the 3 refusals is a finding. The demo writes a checkpoint a second
        # into its run, if it lasts that long.
        unsealed = 3 if any(line.startswith('{"checkpoint"') for line in lines[:n]) else 1

        for name, kept in [("cut", lines[:10] + lines[11:]), ("dup", lines[:n] + lines[n - 1:]),
                           ("unsealed", lines[:n])]:
            (self.path / f"{name}.jsonl").write_text("\n".join(kept) + "\n")
        (self.path / "other.key").write_bytes(bytes(32))
        os.chmod(self.path / "other.key", 0o600)
        for args, code, says in [
            (("run.key", "cut.jsonl"), 1, ["line 11: ids 11..11 missing after line 10 (id 10), before line 11 (id 12)",
                                           f"line {n}: seal: it seals {n} lines but {n - 1} precede it"]),
            (("run.key", "dup.jsonl"), 1, [f"line {n + 1}: replay_counter", f"first bad line: {n + 1}"]),
            (("run.key", "unsealed.jsonl"), 0, ["seal: missing", "result: OK"]),
            (("--strict", "run.key", "unsealed.jsonl"), unsealed, ["seal: missing"]),
            (("other.key", "run.jsonl"), 1, ["hint: not one line verifies; the key may be wrong (is other.key",
                                             "line 20: authentication_failure",
                                             f"... and {n + 1 - 3 - 20} more findings (--all shows every one)"]),
        ]:
            with self.subTest(args=args):
                result = self.run_cli("verify-log", *args[:-2], "--key-file", *args[-2:])
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                for text in says:
                    self.assertIn(text, result.stdout)
                if "hint" in says[0]:
                    self.assertTrue(result.stdout.startswith(says[0]), result.stdout[:200])

    def write_key(self, key=bytes(range(32)), name="run.key"):
        (self.path / name).write_bytes(key)
        os.chmod(self.path / name, 0o600)
        return key

    def test_killed_writer_leaves_a_log_sealed_to_its_last_checkpoint(self):
        key = self.write_key()
        writer = subprocess.Popen([sys.executable, "-c", f"""if True:
            import kestrel
            key = {key!r}
            boundary = kestrel.KestrelBoundary(hmac_key=key, rate_limit=10**9)
            log = kestrel.ReceiptLogWriter(open("run.jsonl", "w"), key, checkpoint_lines=100)
            for i in range(10**9):
                log.authorize(boundary, i % 7, i % 1000 / 1000, 0.5)
                if i == 1000:
                    print("running", flush=True)"""], stdout=subprocess.PIPE, text=True, cwd=self.path)
        self.assertEqual(writer.stdout.readline(), "running\n")
        writer.send_signal(signal.SIGKILL)
        writer.wait()
        writer.stdout.close()
        result = self.run_cli("verify-log", "--strict", "--key-file", "run.key", "run.jsonl")
        self.assertEqual(result.returncode, 3, result.stdout + result.stderr)
        self.assertRegex(result.stdout, r"seal: missing: no final seal; sealed through line \d+ by a checkpoint, "
                                        r"\d+ lines follow unsealed")
        self.assertIn("result: UNFINISHED", result.stdout)

    def test_several_logs_in_processes_and_on_a_dask_cluster(self):
        from distributed import LocalCluster
        key = self.write_key(VerifyLogTest.key)
        checked = VerifyLogTest.checked
        (self.path / "fleet" / "arm").mkdir(parents=True)
        logs = {"fleet/whole.jsonl": ("\n".join(checked) + "\n", 0),
                "fleet/arm/crashed.jsonl": ("\n".join(checked[:6]) + "\n" + checked[6][:40], 3),
                "fleet/arm/changed.jsonl": ("\n".join(checked[:10] + [checked[10].replace("0.875", "0.5")]
                                                      + checked[11:]) + "\n", 1)}
        for name, (text, _) in logs.items():
            (self.path / name).write_text(text)
        (self.path / "fleet" / "notes.txt").write_text("not a log")

        def run(*args):
            out = io.StringIO()
            cwd = os.getcwd()
            os.chdir(self.path)
            try:
                with contextlib.redirect_stdout(out):
                    code = kestrel._cli.main(["verify-log", "--strict", "--key-file", "run.key", *args])
            finally:
                os.chdir(cwd)
            return code, out.getvalue()

        code, text = run("--jobs", "2", "--json", "fleet")
        results = json.loads(text)
        self.assertEqual({r["file"]: r["exit"] for r in results["files"]},
                         {name: want for name, (_, want) in logs.items()})
        self.assertEqual((code, results["total"]["exit"], results["total"]["refusals"]),
                         (1, 1, {"velocity_exceeded": 5}))
        with LocalCluster(processes=False, n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
            self.assertEqual(run("--scheduler", cluster.scheduler_address, "--json", "fleet"), (code, text))
        fleet = (code, text)
        code, text = run("fleet/arm/crashed.jsonl")
        self.assertEqual(code, 3)
        self.assertIn("line 7: torn: the last line has no newline", text)
        self.assertIn("sealed through line 6 by a checkpoint, 1 lines follow unsealed", text)
        self.assertIn("total: FAILED: 3 files", run("fleet", "fleet/arm")[1].splitlines()[-1])
        result = self.run_cli("verify-log", "--scheduler", "tcp://127.0.0.1:9", "--key-file", "run.key", "fleet")
        self.assertEqual(result.returncode, 2)
        self.assertIn("verify-log: cannot reach the dask scheduler at tcp://127.0.0.1:9", result.stderr)
        # A scheduler without workers, then a worker without kestrel, then one with it working in another
        # directory (the paths it is given are absolute): each check ends within its timeout.
        without = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
        with LocalCluster(processes=False, n_workers=0, protocol="tcp", host="127.0.0.1", scheduler_port=0,
                          dashboard_address=None) as cluster:
            address = cluster.scheduler_address
            for env, cwd, timeout, says in [(None, None, 3, "no worker joined the dask scheduler at"),
                                            (without, self.path, 30, "cannot run the check"),
                                            (os.environ, "/", 30, None)]:
                with self.subTest(worker=says):
                    worker = env and subprocess.Popen(
                        ["dask", "worker", address, "--host", "127.0.0.1", "--nthreads", "1", "--no-nanny",
                         "--no-dashboard"], env=env, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                    started = time.monotonic()
                    result = self.run_cli("verify-log", "--strict", "--scheduler", address, "--timeout", str(timeout),
                                          "--key-file", "run.key", "--json", "fleet")
                    self.assertLess(time.monotonic() - started, timeout + 10)
                    if worker:
                        worker.terminate()
                        worker.wait()
                    if says:
                        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                        self.assertIn(says, result.stderr)
                    else:
                        self.assertEqual((result.returncode, result.stdout), fleet, result.stderr)

    def test_a_controller_that_rotates_keys_while_logging(self):
        keys = [RNG.randbytes(32) for _ in range(3)]
        for i, key in enumerate(keys):
            self.write_key(key, f"k{i}.key")
        boundary = kestrel.Boundary(keys[0], rate_limit=10**9)
        with ReceiptLogWriter(open(self.path / "run.jsonl", "w"), keys[0], checkpoint_lines=7,
                              checkpoint_seconds=None) as writer:
            for i in range(60):
                if i and i % 20 == 0:
                    writer.rekey(keys[i // 20], boundary)
                try:
                    writer.authorize(boundary, i % 3, i / 60, 9.0 if i % 11 == 5 else 0.5)
                except kestrel.KestrelViolation:
                    pass
        missing = kestrel.receipt_log.key_fingerprint(keys[1]).hex()
        for key_files, code, says in [
            (["k2.key", "k0.key", "k1.key"], 0, ["failed: none\nrefusals: velocity_exceeded=5\ntrips: none\n"
                                                 "gaps: 0\nrotations: 2\n", "result: OK"]),
            (["k0.key", "k2.key"], 2, [f"are under the key with fingerprint {missing}, which is not among the keys "
                                       f"given; they are not checked", "failed: none\n", "result: UNCHECKED"]),
        ]:
            with self.subTest(key_files=key_files):
                result = self.run_cli("verify-log", "--strict", *(a for k in key_files for a in ("--key-file", k)),
                                      "run.jsonl")
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                for text in says:
                    self.assertIn(text, result.stdout)

    def test_closed_pipe_ends_quietly(self):
        (self.path / "junk.jsonl").write_text("junk\n" * 50000)
        (self.path / "run.key").write_bytes(b"\1" * 32)  # a zero key would warn on stderr
        os.chmod(self.path / "run.key", 0o600)
        check = subprocess.Popen([sys.executable, "-m", "kestrel", "verify-log", "--all", "--key-file", "run.key",
                                  "junk.jsonl"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=self.path)
        self.assertTrue(check.stdout.readline().startswith(b"line 1: malformed"))
        check.stdout.close()
        self.assertEqual((check.stderr.read(), check.wait()), (b"", 2))
        check.stderr.close()

    def test_unusable_inputs(self):
        (self.path / "short.key").write_bytes(bytes(31))
        os.chmod(self.path / "short.key", 0o600)
        (self.path / "shared key").write_bytes(bytes(32))
        os.chmod(self.path / "shared key", 0o640)
        (self.path / "empty.jsonl").write_text("")
        for key, says in [("short.key", "exactly 32 bytes"),
                          ("absent.key", "No such file or directory; give the file of the key the log was written "
                                         "with"),
                          ("shared key", "mode 640); fix it with: chmod 600 'shared key'")]:
            with self.subTest(key=key):
                result = self.run_cli("verify-log", "--key-file", key, "empty.jsonl")
                self.assertEqual(result.returncode, 2)
                self.assertIn(says, result.stderr)
                self.assertNotIn("keygen", result.stderr)
        self.assertEqual(self.run_cli("verify-log", "empty.jsonl").returncode, 2, "--key-file is required")


if __name__ == "__main__":
    unittest.main()
