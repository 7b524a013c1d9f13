"""kestrel.load_joint_limits and `python3 -m kestrel limits` on the made-up arm of examples/robot."""
import contextlib
import io
import json
import math
import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import kestrel
from kestrel import DescriptionError, JointLimiter, describe_joints, load_joint_limits
from kestrel._cli import main

DATA = pathlib.Path(__file__).resolve().parents[2] / "examples" / "robot"
URDF, PLANNING, DEGREES = DATA / "egret.urdf", DATA / "egret_planning.yaml", str(DATA / "egret_degrees.yaml")
INF, D = math.inf, math.pi / 180  # a value in degrees is x * pi / 180, in that order: see deg()
S, U, Y, N = "soft limit", "URDF", "YAML", "none"


def deg(x):
    return x * math.pi / 180


# (limits, sources) of the URDF with its planning YAML, joint by joint in URDF order.
PLANNED = {
    "shoulder_yaw": ((-2.8973, 2.8973, 2.0, 15.0, 7500.0), (S, S, Y, Y, Y)),
    "shoulder_pitch": ((-1.7628, 1.8326, 2.175, 7.5, 3750.0), (S, U, U, Y, Y)),
    "upper_arm_roll": ((-INF, INF, 2.175, 10.0, 5000.0), (Y, Y, U, Y, Y)),
    "elbow": ((-3.0718, -0.0698, 2.175, 10.0, 6250.0), (S, U, U, Y, Y)),  # deceleration 10 < 12.5
    "forearm_roll": ((-2.9671, 2.9671, INF, 15.0, 7500.0), (U, U, Y, Y, Y)),
    "wrist_pitch": ((0.1, 3.5, 2.61, 20.0, 10000.0), (Y, Y, U, Y, Y)),
    "wrist_roll": ((-INF, INF, 2.5, 20.0, 10000.0), (N, N, Y, Y, Y)),
    "finger_left": ((0.0, 0.04, 0.1, INF, INF), (U, U, Y, Y, N)),
}


def rows(joints):
    return {j.name: (tuple(getattr(j.limits, f) for f in ("min_position", "max_position", "max_velocity",
                                                          "max_acceleration", "max_jerk")), j.sources)
            for j in joints}


class LoadTest(unittest.TestCase):
    def test_limits_bit_for_bit(self):
        table = [
            ("URDF and planning YAML", (URDF, PLANNING), {}, PLANNED),
            ("URDF alone, hard limits", (URDF,), dict(soft_limits=False, joints=["shoulder_yaw", "finger_right"]),
             {"shoulder_yaw": ((-2.9671, 2.9671, 2.175, INF, INF), (U, U, U, N, N)),
              "finger_right": ((0.0, 0.04, 0.2, INF, INF), (U, U, U, N, N))}),
            ("YAML alone, in degrees", (None, DEGREES), {},
             {"shoulder_yaw": ((deg(-166), deg(166), deg(124.6), deg(860), INF), (Y, Y, Y, Y, N)),
              "wrist_roll": ((-INF, INF, deg(149.5), INF, deg(5.5e5)), (N, N, Y, N, Y))}),
        ]
        for name, files, kwargs, expected in table:
            with self.subTest(name):
                joints = describe_joints(*files, **kwargs)
                self.assertEqual(list(rows(joints)), list(expected))  # the order too
                for joint, (limits, sources) in rows(joints).items():
                    self.assertEqual([x.hex() for x in limits], [x.hex() for x in expected[joint][0]], joint)
                    self.assertEqual(sources, expected[joint][1], joint)
        # The package's dict is the same values, with the URDF's mimic joint left out by default.
        loaded = load_joint_limits(str(URDF), PLANNING)
        self.assertEqual(list(loaded), list(PLANNED))
        self.assertEqual(describe_joints(URDF, joints=["finger_right"])[0].mimics, "finger_left")

    def test_a_limiter_built_from_the_result_runs_inside_the_limits(self):
        limits = list(load_joint_limits(URDF, PLANNING).values())
        start = [(l.min_position + l.max_position) / 2 if math.isfinite(l.max_position - l.min_position) else 0.0
                 for l in limits]
        limiter = JointLimiter(limits, 0.001, start)
        for _ in range(2000):
            limiter.limit([5.0] * len(limits))
        for l, p, v in zip(limits, limiter.positions, limiter.velocities):
            self.assertTrue(l.min_position <= p <= l.max_position and abs(v) <= l.max_velocity, (l, p, v))
        self.assertGreater(limiter.positions[0], start[0])


def write(directory, name, text):
    path = pathlib.Path(directory) / name
    path.write_bytes(textwrap.dedent(text).encode("utf-8", "surrogateescape"))  # "\udcff": the byte 0xff
    return str(path)


JOINT = '<robot name="r"><joint name="a" type="revolute">\n<limit lower="{}" upper="{}" velocity="{}"/></joint></robot>'
PLANNING_WITH = "joint_limits:\n  shoulder_yaw:\n    {}\n"


class ErrorTest(unittest.TestCase):
    def test_each_bad_input_names_file_line_joint_and_field(self):
        table = [  # (URDF text or URDF, YAML text or None, joints, error, message)
            ('<robot><joint name="a" type="revolute">', None, None, DescriptionError, r"bad.urdf:1: malformed XML"),
            (None, "joint_limits:\n  a: [1, 2\n", None, DescriptionError, r"bad.yaml:\d: malformed YAML"),
            (URDF, None, ["shoulder_yaw", "nope"], DescriptionError, r"joint 'nope' is not in .*egret.urdf"),
            (URDF, None, ["flange"], DescriptionError, r"egret.urdf:\d+: joint 'flange': a fixed joint has no limits"),
            (URDF, None, ["elbow", "elbow"], DescriptionError, r"joint 'elbow' named twice"),
            (URDF, "joint_limits:\n  elbow: {}\n  ghost: {}\n", None, DescriptionError,
             r"bad.yaml:3: joint 'ghost': not in .*egret.urdf"),
            (JOINT.replace('"a"', '"a\udcff"').format(-1, 1, 1), None, None, DescriptionError,
             r"bad.urdf:1: joint 'a\\xff': the name is not UTF-8 text"),
            (None, "joint_limits:\n  b\udcfe: {}\n", None, DescriptionError, r"bad.yaml:2: joint 'b\\xfe': the name is not"),
            (JOINT.format(-1, 1, "fast"), None, None, DescriptionError,
             r"bad.urdf:2: joint 'a': <limit> velocity: 'fast' is not a finite number"),
            (JOINT.format(-1, "1e999", 1), None, None, DescriptionError, r"<limit> upper: '1e999' is not a finite"),
            (JOINT.format(1, -1, 1), None, None, DescriptionError,
             r"bad.urdf:2: joint 'a': the lower position limit 1 \(.*bad.urdf:2 lower\) is not below the upper -1"),
            (JOINT.format(-1, 1, 0), None, None, DescriptionError, r"bad.urdf:2: joint 'a': velocity: 0 is not > 0"),
            (URDF, PLANNING_WITH.format("max_jerk: -3"), None, DescriptionError,
             r"bad.yaml:3: joint 'shoulder_yaw': max_jerk: -3 is not > 0"),
            (URDF, PLANNING_WITH.format("max_jerk: .inf"), None, DescriptionError, r"max_jerk: '.inf' is not a fin"),
            (URDF, PLANNING_WITH.format("max_jerks: 3"), None, DescriptionError,
             r"bad.yaml:3: joint 'shoulder_yaw': unknown key 'max_jerks'"),
            (URDF, PLANNING_WITH.format("max_jerk: !radians 3"), None, DescriptionError, r"unknown tag '!radians'"),
            (URDF, PLANNING_WITH.format("max_jerk: '3'"), None, DescriptionError, r"'3' is quoted text"),
            (URDF, PLANNING_WITH.format("has_jerk_limits: true"), None, DescriptionError,
             r"bad.yaml:3: joint 'shoulder_yaw': has_jerk_limits is true but max_jerk is missing"),
            (URDF, PLANNING_WITH.format("has_jerk_limits: yes"), None, DescriptionError, r"'yes' is not true or"),
            (URDF, PLANNING_WITH.format("max_position: -3"), None, DescriptionError,
             r"bad.yaml:3: .*lower position limit -2.8973 \(.*egret.urdf:\d+ soft_lower_limit\) is not below"),
            (None, "limits: {}\n", None, DescriptionError, r"bad.yaml: no map joint_limits at the top"),
            (URDF, "/nonexistent/limits.yaml", None, FileNotFoundError, r"/nonexistent/limits.yaml"),
            (URDF, "FIFO", None, DescriptionError, r"limits.fifo: not a regular file"),  # never blocks
            (None, None, None, TypeError, r"give a URDF file, a YAML file or both"),
        ]
        with tempfile.TemporaryDirectory() as directory:
            os.mkfifo(fifo := os.path.join(directory, "limits.fifo"))
            for urdf, yaml, joints, error, message in table:
                with self.subTest(message=message):
                    yaml = fifo if yaml == "FIFO" else yaml
                    if isinstance(urdf, str):
                        urdf = write(directory, "bad.urdf", urdf)
                    if yaml is not None and not yaml.startswith("/"):
                        yaml = write(directory, "bad.yaml", yaml)
                    with self.assertRaisesRegex(error, message):
                        load_joint_limits(urdf, yaml, joints=joints)
        self.assertTrue(issubclass(DescriptionError, ValueError))


# Each ends in an error, read in a child process whose address space is capped.
HOSTILE = {
    "deep.urdf": "<robot>" + "<a>" * 100000,
    "entities.urdf": '<?xml version="1.0"?><!DOCTYPE r [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;&a;&a;">]>'
                     "<robot>&b;</robot>",
    "deep.yaml": "joint_limits: " + "[" * 100000,
    "block.yaml": "joint_limits:\n" + "".join(" " * i + "- \n" for i in range(2000)),
    "aliases.yaml": "a: &a [1, 1, 1, 1, 1, 1, 1, 1, 1]\n" + "".join(
        f"{chr(98 + i)}: &{chr(98 + i)} [{', '.join(['*' + chr(97 + i)] * 9)}]\n" for i in range(9)),
    "number.yaml": "joint_limits:\n  a:\n    max_jerk: 1" + "0" * 250_000 + "\n",
    "many.yaml": "joint_limits: {}\nx: [" + "1," * 100_000 + "]\n",
    "many.urdf": "<robot>" + "<a/>" * 4_000_000 + "</robot>",
    "large.urdf": "<robot>" + " " * (16 << 20) + "</robot>",
}
CHILD = """
import resource, sys, time
sanitized = 'asan' in __import__('os').environ.get('LD_PRELOAD', '')
if not sanitized:
    resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import kestrel
for path in sys.argv[1:]:
    start = time.perf_counter()
    try:
        kestrel.load_joint_limits(path if path.endswith('.urdf') else None, path if path.endswith('.yaml') else None)
        print(path, 'loaded')
    except kestrel.DescriptionError as error:
        print(f'{time.perf_counter() - start:.3f}', error)
"""


class HostileTest(unittest.TestCase):
    def test_hostile_files_end_in_an_error_within_a_second_and_a_gigabyte(self):
        with tempfile.TemporaryDirectory() as directory:
            paths = [write(directory, name, text) for name, text in HOSTILE.items()]
            done = subprocess.run([sys.executable, "-c", CHILD, *paths], capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        lines = done.stdout.splitlines()
        self.assertEqual(len(lines), len(HOSTILE), done.stdout)
        for line, name in zip(lines, HOSTILE):
            with self.subTest(name):
                seconds, message = line.split(" ", 1)
                self.assertLess(float(seconds), 1.0, message)
                self.assertIn(name, message)


class CommandTest(unittest.TestCase):
    def run_command(self, *argv, out=None):
        out, err = out or io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            code = main(["limits", *argv])
        out.seek(0)
        return code, out.read(), err.getvalue()

    def test_names_and_paths_that_are_not_utf8_or_not_ascii(self):
        with tempfile.TemporaryDirectory() as directory:
            urdf = write(directory, "\udcffr.urdf", JOINT.replace('"a"', '"\xe9"').format(-1, 1, 1))
            ascii_out = io.TextIOWrapper(io.BytesIO(), encoding="ascii")
            code, table, _ = self.run_command("--urdf", urdf, out=ascii_out)
            self.assertEqual(code, 0)
            self.assertRegex(table, r"\n\\xe9 +revolute .*\nno acceleration limit: \\xe9\n")
            code, _, err = self.run_command("--urdf", urdf, "--joints", "n\udcffpe")
            self.assertEqual(code, 2)
            self.assertRegex(err, r"^limits: joint 'n\\xffpe' is not in .*/\udcffr.urdf\n$")

    def test_table_json_and_errors(self):
        code, table, _ = self.run_command("--urdf", str(URDF), "--yaml", str(PLANNING))
        self.assertEqual(code, 0)
        self.assertIn("-1.7628 (soft limit) .. 1.8326 (URDF)", table)
        self.assertIn("-inf .. inf (none)", table)
        self.assertIn("no acceleration limit: finger_left\nno jerk limit: finger_left\n", table)
        code, text, _ = self.run_command("--urdf", str(URDF), "--joints", "finger_right", "--no-soft-limits",
                                         "--json")
        self.assertEqual(json.loads(text)["joints"][0]["max_velocity"], {"value": 0.2, "source": "URDF"})
        self.assertEqual(json.loads(text)["without_jerk_limit"], ["finger_right"])
        code, out, err = self.run_command("--urdf", str(URDF), "--joints", "nope")
        self.assertEqual((code, out), (2, ""))
        self.assertRegex(err, r"^limits: joint 'nope' is not in .*egret.urdf\n$")


if __name__ == "__main__":
    unittest.main()
