"""The receipt log: written by the demo, checked by `python3 -m kestrel verify-log`."""
import io
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import unittest

import kestrel
from kestrel.receipt_log import ReceiptLogWriter, verify_log

ROOT = pathlib.Path(__file__).resolve().parents[2]


def make_log(key, actions):
    boundary = kestrel.KestrelBoundary(hmac_key=key)
    stream = io.StringIO()
    writer = ReceiptLogWriter(stream)
    for axis, position, velocity in actions:
        writer.record(axis, position, velocity, boundary.authorize_action(axis, position, velocity))
    return stream.getvalue().splitlines()


class VerifyLogTest(unittest.TestCase):
    key = os.urandom(32)
    lines = make_log(key, [(0, 0.0, 0.5), (1, -0.125, 1.0), (2, 1e-9, -2.0), (-3, 3.5, 0.0), (0, 0.1, 0.25)])

    def test_tampering(self):
        good = self.lines
        edited = good[2].replace('"axis": 2', '"axis": 4')
        digit = good[1][-10]  # inside the receipt's hex digits
        forged = good[1][:-10] + ("1" if digit == "0" else "0") + good[1][-9:]
        # (name, log, failing lines with their codes, accepted, gaps)
        cases = [
            ("untouched", good, [], 5, 0),
            ("reordered", [good[0], good[2], good[1], good[3], good[4]], [(3, "replay_counter")], 4, 1),
            ("duplicated", good[:2] + [good[1]] + good[2:], [(3, "replay_counter")], 5, 0),
            ("edited", good[:2] + [edited] + good[3:], [(3, "authentication_failure")], 4, 1),
            ("edited receipt", good[:1] + [forged] + good[2:],
             [(2, "authentication_failure")], 4, 1),
            ("removed", good[:1] + good[2:], [], 4, 1),
            ("removed first", good[1:], [], 4, 1),
            ("truncated", good[:1] + [good[1][:40]] + good[2:], [(2, "malformed")], 4, 1),
            ("garbled", [b"\xff\xfe" + good[0].encode()] + [b"[1]", b"", b'{"axis": 1}'] + good[1:],
             [(1, "malformed"), (2, "malformed"), (3, "malformed"), (4, "malformed")], 4, 1),
        ]
        for name, log, failures, accepted, gaps in cases:
            with self.subTest(name):
                report = verify_log(log, self.key)
                self.assertEqual([(n, text.split(":")[0]) for n, text in report.problems], failures)
                self.assertEqual((report.lines, report.accepted, len(report.gaps)), (len(log), accepted, gaps))
                self.assertEqual(report.ok(), not failures)
                self.assertEqual(report.ok(strict=True), not failures and not gaps)
        report = verify_log(good[:2] + good[3:], self.key)
        self.assertEqual(report.gaps, [(3, "ids 3..3 missing after line 2 (id 2), before line 3 (id 4)")])

    def test_wrong_key_refuses_every_line(self):
        report = verify_log(self.lines, bytes(32))
        self.assertEqual(report.refused, {"authentication_failure": 5})
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
        self.assertIn("lines: 800\naccepted: 800\nrefused: none\ngaps: 0\n", ok.stdout)

        lines = (self.path / "run.jsonl").read_text().splitlines()
        (self.path / "cut.jsonl").write_text("\n".join(lines[:10] + lines[11:]) + "\n")
        cut = self.run_cli("verify-log", "--key-file", "run.key", "cut.jsonl")
        self.assertEqual(cut.returncode, 0, "a gap alone passes without --strict")
        self.assertIn("line 11: ids 11..11 missing after line 10 (id 10), before line 11 (id 12)", cut.stdout)
        self.assertEqual(self.run_cli("verify-log", "--strict", "--key-file", "run.key", "cut.jsonl").returncode, 1)

        (self.path / "dup.jsonl").write_text("\n".join(lines + lines[-1:]) + "\n")
        dup = self.run_cli("verify-log", "--key-file", "run.key", "dup.jsonl")
        self.assertEqual(dup.returncode, 1)
        self.assertIn("line 801: replay_counter", dup.stdout)
        self.assertIn("first bad line: 801", dup.stdout)

    def test_unusable_inputs(self):
        (self.path / "short.key").write_bytes(bytes(31))
        (self.path / "empty.jsonl").write_text("")
        for args in [("verify-log", "--key-file", "short.key", "empty.jsonl"),
                     ("verify-log", "--key-file", "absent.key", "empty.jsonl")]:
            with self.subTest(args=args):
                result = self.run_cli(*args)
                self.assertEqual(result.returncode, 2)
                self.assertRegex(result.stderr, "verify-log: .*key")
        self.assertEqual(self.run_cli("verify-log", "empty.jsonl").returncode, 2, "--key-file is required")

    def test_readme_commands_run(self):
        block = re.search(r"```sh\n(PYTHONPATH=build/release/python python3 examples.*?)```",
                          (ROOT / "README.md").read_text(), re.S).group(1)
        for command in block.splitlines():
            with self.subTest(command=command):
                command = command.replace("PYTHONPATH=build/release/python ", "").replace(
                    "python3 examples/", f"python3 {ROOT}/examples/").replace("python3 ", f"{sys.executable} ", 1)
                result = subprocess.run(command, shell=True, capture_output=True, text=True, cwd=self.path)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
