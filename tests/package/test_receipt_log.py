"""The receipt log: written by the demo, checked by `python3 -m kestrel verify-log`."""
import hashlib
import hmac
import io
import json
import math
import os
import pathlib
import struct
import subprocess
import sys
import tempfile
import unittest

import kestrel
from kestrel.receipt_log import ReceiptLogWriter, verify_log

ROOT = pathlib.Path(__file__).resolve().parents[2]


def double(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


class KeptStream(io.StringIO):
    def close(self):  # the writer closes its stream; the test still reads it
        pass


def flip(text, i):
    """text with the hex digit at i changed."""
    return text[:i] + ("1" if text[i] == "0" else "0") + text[i + 1:]


def make_log(key, actions):
    boundary = kestrel.KestrelBoundary(hmac_key=key)
    stream = KeptStream()
    with ReceiptLogWriter(stream, key) as writer:
        for axis, position, velocity in actions:
            writer.record(axis, position, velocity, boundary.authorize_action(axis, position, velocity))
    return stream.getvalue().splitlines()


def old_log(key, actions):
    """Lines as the writer wrote them before the seal: bare NaN and Infinity, no seal."""
    boundary = kestrel.KestrelBoundary(hmac_key=key)
    return [json.dumps({"axis": a, "position": p, "velocity": v, "receipt": boundary.authorize_action(a, p, v)
                        .receipt_hash.hex()}) for a, p, v in actions]


class VerifyLogTest(unittest.TestCase):
    key = os.urandom(32)
    sealed = make_log(key, [(0, 0.0, 0.5), (1, -0.125, 1.0), (2, 1e-9, -2.0), (-3, 3.5, 0.0), (0, 0.1, 0.25)])

    def test_tampering_and_hostile_lines(self):
        good, seal = self.sealed[:5], self.sealed[5]
        edited = good[2].replace('"axis": 2', '"axis": 4')
        forged = flip(good[1], -10)  # inside the receipt's hex digits
        hostile = [
            "[" * 1024, "[" * 5000 + "]" * 5000, good[0] + " " * 1024, "", "[1]", '"x"', "{",
            b"\xff\xfe" + good[0].encode(), '{"axis": 1}', good[0][:-1] + ', "note": 1}',
            '{"axis": 99, "position": 123.0, ' + good[0][1:], good[0].replace('"axis": 0', '"axis": "0"'),
            good[0].replace('"axis": 0', '"axis": true'), good[0].replace('"axis": 0', '"axis": 2147483648'),
            good[0].replace("0.0", "1" + "0" * 400), good[0].replace("0.0", "1e400"), good[0].replace("0.0", "0"),
            good[0].replace("0.0", "0.00"), good[0].replace("0.0", '"nan:3ff0000000000000"'),
            good[0].replace("0.0", "NaNa"), good[0].replace('"receipt": "', '"receipt": "A'),
            good[0][:-60] + good[0][-59:], seal.replace('"lines": 5', '"lines": -1'),
        ]
        specials = [math.nan, -math.nan, math.inf - math.inf, double(0x7FF0000000000001), double(0xFFF8DEADBEEF0001),
                    math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308]
        # (name, log, findings as (line, code), ends with a seal that holds)
        cases = [
            ("untouched", self.sealed, [], True),
            ("every double, NaN bits too", make_log(self.key, [(i, x, 0.0) for i, x in enumerate(specials)]), [],
             True),
            ("written before the seal", old_log(self.key, [(0, math.inf, 0.0), (1, -math.inf, 0.5),
                                                           (2, math.nan, 0.0), (3, -math.nan, 0.0)]),
             [(4, "authentication_failure")], False),
            ("reordered", [good[0], good[2], good[1], good[3], good[4]], [(2, "gap"), (3, "replay_counter")], False),
            ("duplicated", good[:2] + [good[1]] + good[2:], [(3, "replay_counter")], False),
            ("edited", good[:2] + [edited] + good[3:], [(3, "authentication_failure"), (4, "gap")], False),
            ("edited receipt", good[:1] + [forged] + good[2:], [(2, "authentication_failure"), (3, "gap")], False),
            ("removed first", good[1:], [(1, "gap")], False),
            *((f"hostile {line[:30]!r}", good[:1] + [line] + good[1:], [(2, "malformed")], False) for line in hostile),
            ("emptied", [], [], False),
            ("seal cut off", good, [], False),
            ("last line cut off", good[:4] + [seal], [(5, "seal")], False),
            ("line removed", good[:2] + good[3:] + [seal], [(3, "gap"), (5, "seal")], False),
            ("line respaced", [good[0].replace(", ", ",  ", 1)] + good[1:] + [seal], [(6, "seal")], False),
            ("seal forged", good + [flip(seal, len('{"seal": "'))], [(6, "seal")], False),
            ("lines after the seal", self.sealed + [good[0]], [(7, "replay_counter")], False),
        ]
        for name, log, expected, sealed in cases:
            with self.subTest(name):
                findings = []
                report = verify_log(log, self.key, findings.append)
                self.assertEqual([(f.line, f.code) for f in findings], expected, findings)
                self.assertEqual((report.lines, report.sealed), (len(log), sealed))
                self.assertEqual(report.ok(), all(code == "gap" for _, code in expected))
                self.assertEqual(report.ok(strict=True), not expected and sealed)
        findings = []
        verify_log(good[:2] + good[3:], self.key, findings.append)
        self.assertEqual(findings[0].text, "ids 3..3 missing after line 2 (id 2), before line 3 (id 4)")

    def test_seal_is_the_documented_one(self):
        digest = hashlib.sha256("".join(line + "\n" for line in self.sealed[:5]).encode()).digest()
        seal_key = hmac.new(self.key, b"kestrel receipt log seal", "sha256").digest()
        tag = hmac.new(seal_key, struct.pack("<Q", 5) + digest, "sha256").hexdigest()
        self.assertEqual(json.loads(self.sealed[5]), {"seal": tag, "lines": 5, "sha256": digest.hex()})

    def test_wrong_key_refuses_every_line(self):
        report = verify_log(self.sealed, bytes(32))
        self.assertEqual(report.refused, {"authentication_failure": 5, "seal": 1})
        self.assertEqual(report.first_bad_line, 1)


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
        n = len(lines) - 1  # the actions, then the seal
        self.assertIn(f"receipt log: {n} actions", demo.stdout)
        self.assertIn(f"lines: {n + 1}\naccepted: {n}\nrefused: none\ngaps: 0\nseal: line {n + 1} seals the {n}",
                      ok.stdout)

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
            (("--strict", "run.key", "unsealed.jsonl"), 1, ["seal: missing", "result: FAILED"]),
            (("other.key", "run.jsonl"), 1, ["hint: not one line verifies; the key may be wrong"]),
        ]:
            with self.subTest(args=args):
                result = self.run_cli("verify-log", *args[:-2], "--key-file", *args[-2:])
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                for text in says:
                    self.assertIn(text, result.stdout)

    def test_closed_pipe_ends_quietly(self):
        (self.path / "junk.jsonl").write_text("junk\n" * 50000)
        (self.path / "run.key").write_bytes(b"\1" * 32)  # a zero key would warn on stderr
        os.chmod(self.path / "run.key", 0o600)
        check = subprocess.Popen([sys.executable, "-m", "kestrel", "verify-log", "--key-file", "run.key", "junk.jsonl"],
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
        for key, says in [("short.key", "exactly 32 bytes"), ("absent.key", "No such file"),
                          ("shared key", "mode 640); fix it with: chmod 600 'shared key'")]:
            with self.subTest(key=key):
                result = self.run_cli("verify-log", "--key-file", key, "empty.jsonl")
                self.assertEqual(result.returncode, 2)
                self.assertIn(says, result.stderr)
        self.assertEqual(self.run_cli("verify-log", "empty.jsonl").returncode, 2, "--key-file is required")


if __name__ == "__main__":
    unittest.main()
