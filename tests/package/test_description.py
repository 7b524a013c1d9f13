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
import warnings

import kestrel
from kestrel import DescriptionError, DescriptionWarning, JointLimiter, describe_joints, load_joint_limits
from kestrel._cli import main

DATA = pathlib.Path(__file__).resolve().parents[2] / "examples" / "robot"
URDF, PLANNING, DEGREES = DATA / "egret.urdf", DATA / "egret_planning.yaml", str(DATA / "egret_degrees.yaml")
INF, D = math.inf, math.pi / 180  # a value in degrees is x * pi / 180, in that order: see deg()
S, U, Y, N = "soft limit", "URDF", "YAML", "none"


def deg(x):
    return x * math.pi / 180


# (limits and the URDF's effort, sources) of the URDF with its planning YAML, joint by joint in URDF order.
PLANNED = {
    "shoulder_yaw": ((-2.8973, 2.8973, 2.0, 15.0, 7500.0, 87.0), (S, S, Y, Y, Y)),
    "shoulder_pitch": ((-1.7628, 1.8326, 2.175, 7.5, 3750.0, 87.0), (S, U, U, Y, Y)),
    "upper_arm_roll": ((-2.8, 2.8, 2.175, 10.0, 5000.0, 87.0), (Y, Y, U, Y, Y)),
    "elbow": ((-3.0718, -0.0698, 2.175, 10.0, 6250.0, 87.0), (S, U, U, Y, Y)),  # deceleration 10 < 12.5
    "forearm_roll": ((-2.9671, 2.9671, 2.0, 15.0, 7500.0, 12.0), (U, U, Y, Y, Y)),
    "wrist_pitch": ((0.1, 3.5, 2.61, 20.0, 10000.0, 12.0), (Y, Y, U, Y, Y)),
    "wrist_roll": ((-INF, INF, 2.5, 20.0, 10000.0, 12.0), (N, N, Y, Y, Y)),
    "finger_left": ((0.0, 0.04, 0.1, INF, INF, 20.0), (U, U, Y, Y, N)),
}


def rows(joints):
    return {j.name: (tuple(getattr(j.limits, f) for f in ("min_position", "max_position", "max_velocity",
                                                          "max_acceleration", "max_jerk")) + (j.effort,), j.sources)
            for j in joints}


ARM = ('<robot name="r" xmlns:drake="x"><joint name="a" type="{}">\n<calibration rising="0"/>'
       '<limit {} effort="1" drake:acceleration="8.57"/><safety_controller k_velocity="1" {}/></joint></robot>')
CARTESIAN = r"planning.yaml:8: the map 'cartesian_limits' is not read \(only joint_limits is\); ignored"


class LoadTest(unittest.TestCase):
    def test_limits_bit_for_bit(self):
        table = [  # (name, URDF and YAML as paths or texts, keywords, {joint: (limits, sources)}, warnings)
            ("URDF and planning YAML", (URDF, PLANNING), {}, PLANNED, [CARTESIAN]),
            ("URDF alone, hard limits", (URDF,), dict(soft_limits=False, joints=["shoulder_yaw", "finger_right"]),
             {"shoulder_yaw": ((-2.9671, 2.9671, 2.175, INF, INF, 87.0), (U, U, U, N, N)),
              "finger_right": ((0.0, 0.04, 0.2, INF, INF, 20.0), (U, U, U, N, N))}, []),
            ("YAML alone, in degrees", (None, DEGREES), {},
             {"shoulder_yaw": ((deg(-166), deg(166), deg(124.6), deg(860), INF, INF), (Y, Y, Y, Y, N)),
              "wrist_roll": ((-INF, INF, deg(149.5), INF, deg(5.5e5), INF), (N, N, Y, N, Y))}, []),
            ("YAML mends what the URDF lacks; extensions ignored",
             (ARM.format("revolute", 'upper="1" velocity="-1"', ""),
              "joint_limits:\n  a: {min_position: -0.5, max_velocity: 1}\n"), {},
             {"a": ((-0.5, 1.0, 1.0, INF, INF, 1.0), (Y, U, Y, N, N))}, []),
            ("has_position_limits: false where the URDF has no <limit>",
             ('<robot><joint name="a" type="prismatic"/></robot>',
              "joint_limits:\n  a:\n    has_position_limits: false\n"),
             {}, {"a": ((-INF, INF, INF, INF, INF, INF), (Y, Y, N, N, N))}, []),
            ("a soft limit narrower than the YAML's wins",
             (ARM.format("revolute", 'lower="-2" upper="2" velocity="1"', 'soft_upper_limit="1.5"'),
              "joint_limits:\n  a: {min_position: -1.8, max_position: 1.8}\n"), {},
             {"a": ((-1.8, 1.5, 1.0, INF, INF, 1.0), (Y, S, U, N, N))}, []),
            ("widening allowed, and marked",
             (ARM.format("revolute", 'lower="-2" upper="2" velocity="1"', 'soft_upper_limit="1.5"'),
              "joint_limits:\n  a: {max_position: 3, has_velocity_limits: false}\n"), dict(allow_widening=True),
             {"a": ((-2.0, 3.0, INF, INF, INF, 1.0), (U, Y, Y, N, N))}, []),
            ("real spellings: scalar aliases, angle_wraparound, has_jerk: false, a joint the URDF lacks",
             (ARM.format("continuous", 'velocity="2"', ""),
              "v: &v 1.5\njoint_limits:\n  a:\n    max_velocity: *v\n    angle_wraparound: true\n    has_jerk: false\n"
              "  gripper: {max_velocity: 1}\n"), {},
             {"a": ((-INF, INF, 1.5, INF, INF, 1.0), (N, N, Y, N, N))},
             [r"bad.yaml:7: joint 'gripper': not in .*bad.urdf; skipped",
              r"bad.yaml:6: joint 'a': unknown key 'has_jerk'; did you mean 'has_jerk_limits'\?; "
              r"its false is ignored"]),
            ("a joint not named is not judged", (URDF, "joint_limits:\n  ghost: {has_jerk: false}\n"),
             dict(joints=["elbow"]), {"elbow": ((-3.0718, -0.0698, 2.175, INF, INF, 87.0), (S, U, U, N, N))}, []),
        ]
        with tempfile.TemporaryDirectory() as directory:
            for name, files, kwargs, expected, warned in table:
                with self.subTest(name), warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    files = [write(directory, f"bad.{kind}", f) if isinstance(f, str) and not f.startswith("/") else f
                             for kind, f in zip(("urdf", "yaml"), files)]
                    joints = describe_joints(*files, **kwargs)
                    self.assertEqual(list(rows(joints)), list(expected))  # the order too
                    for joint, (limits, sources) in rows(joints).items():
                        self.assertEqual([x.hex() for x in limits], [x.hex() for x in expected[joint][0]], joint)
                        self.assertEqual(sources, expected[joint][1], joint)
                    self.assertEqual(len(caught), len(warned), [str(w.message) for w in caught])
                    for warning, pattern in zip(caught, warned):
                        self.assertIs(warning.category, DescriptionWarning)
                        self.assertRegex(str(warning.message), pattern)
                    widened = [(j.name, i) for j in joints for i in range(5) if j.widened[i]]
                    self.assertEqual(widened, [("a", 1), ("a", 2)] if kwargs.get("allow_widening") else [])
        # The package's dict is the same values, with the URDF's mimic joint left out by default.
        with self.assertWarnsRegex(DescriptionWarning, CARTESIAN):
            loaded = load_joint_limits(str(URDF), PLANNING)
        self.assertEqual(list(loaded), list(PLANNED))
        self.assertEqual(describe_joints(URDF, joints=["finger_right"])[0].mimics, "finger_left")

    def test_a_limiter_built_from_the_result_runs_inside_the_limits(self):
        with self.assertWarns(DescriptionWarning):
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
        table = [  # (URDF text or URDF, YAML text or None, joints or keywords, error, message)
            ('<robot><joint name="a" type="revolute">', None, None, DescriptionError,
             r"bad.urdf:1: malformed XML: an element not closed, or closed by another's end tag$"),
            (None, "joint_limits:\n  a: [1, 2\n", None, DescriptionError, r"bad.yaml:\d: malformed YAML"),
            (URDF, None, ["shoulder_yaw", "nope"], DescriptionError, r"joint 'nope' is not in .*egret.urdf"),
            (URDF, None, ["flange"], DescriptionError, r"egret.urdf:\d+: joint 'flange': a fixed joint has no limits"),
            (URDF, None, ["elbow", "elbow"], DescriptionError, r"joint 'elbow' named twice"),
            (URDF, "joint_limits:\n  elbow: {}\n  ghost: {}\n", dict(strict=True), DescriptionError,
             r"bad.yaml:3: joint 'ghost': not in .*egret.urdf$"),
            (URDF, PLANNING_WITH.format("has_jerk: false"), dict(strict=True), DescriptionError,
             r"bad.yaml:3: joint 'shoulder_yaw': unknown key 'has_jerk'; did you mean 'has_jerk_limits'\?$"),
            (URDF, "joint_limits: {}\ncartesian_limits: {max_trans_vel: 1}\n", dict(strict=True), DescriptionError,
             r"bad.yaml:2: the map 'cartesian_limits' is not read"),
            (JOINT.replace("velocity=", "uper=").format(-1, 1, 1), None, None, DescriptionError,
             r"bad.urdf:2: joint 'a': <limit> has an unknown attribute 'uper'; did you mean 'upper'\?"),
            ('<robot><joint name="a" type="fixed" parent="b"/></robot>', None, None, DescriptionError,
             r"bad.urdf:1: joint 'a': <joint> has an unknown attribute 'parent' \(expected name, type\)"),
            ('<robot>\n<joint name="a" type="revolute"><parent link="b"/></joint></robot>', None, None,
             DescriptionError, r"bad.urdf:2: joint 'a': a revolute joint has no <limit>; give it, or min_position"),
            (JOINT.replace('lower="{}" ', "").format(1, 1), "joint_limits:\n  a: {max_velocity: 1}\n", None,
             DescriptionError, r"bad.urdf:2: joint 'a': a revolute joint has no <limit> lower; .* in .*bad.yaml"),
            (JOINT.format(-1, 1, -1), "joint_limits:\n  a: {max_jerk: 1}\n", None, DescriptionError,
             r"bad.urdf:2: joint 'a': velocity: -1 is not > 0; give max_velocity for this joint in .*bad.yaml"),
            (URDF, PLANNING_WITH.format("max_velocity: 3"), None, DescriptionError,
             r"bad.yaml:3: joint 'shoulder_yaw': max_velocity 3 widens the URDF's velocity 2.175 \(.*egret.urdf:\d+\)"),
            (URDF, PLANNING_WITH.format("min_position: -3"), None, DescriptionError,
             r"min_position -3 widens the URDF's lower -2.9671"),
            (JOINT.replace('lower="{}" ', "").format(1, 1), "joint_limits:\n  a: {min_position: -1, max_position: 5}\n",
             None, DescriptionError, r"bad.yaml:2: joint 'a': max_position 5 widens the URDF's upper 1"),
            (URDF, PLANNING_WITH.format("has_velocity_limits: false"), None, DescriptionError,
             r"has_velocity_limits: false removes the URDF's velocity 2.175 .*; a limits file may only narrow"),
            (URDF, PLANNING_WITH.format("has_jerk: 1"), None, DescriptionError, r"unknown key 'has_jerk'; did you"),
            (URDF, PLANNING_WITH.format("angle_wraparound: true"), None, DescriptionError,
             r"bad.yaml:3: joint 'shoulder_yaw': angle_wraparound is true, but it is a revolute joint"),
            (URDF, "m: &m {max_jerk: 1}\njoint_limits:\n  elbow: *m\n", None, DescriptionError,
             r"bad.yaml:3: an alias \(\*name\) to a map or a sequence"),
            (URDF, PLANNING_WITH.format("max_velocity: !degrees 1e308"), None, DescriptionError,
             r"max_velocity: !degrees '1e308' is not finite in radians"),
            ("joint_limits:\n  a: {}\n", None, None, DescriptionError,
             r"bad.urdf:1: not a URDF: expected XML with a <robot> element, found 'joint_limits:'$"),
            ("<launch/>", None, None, DescriptionError, r"bad.urdf: not a URDF: expected a <robot> element at the top"),
            (JOINT.replace('"a"', '"a\udcff"').format(-1, 1, 1), None, None, DescriptionError,
             r"bad.urdf:1: joint 'a\\xff': the name is not UTF-8 text"),
            (None, "joint_limits:\n  b\udcfe: {}\n", None, DescriptionError,
             r"bad.yaml:2: joint 'b\\xfe': the name is not"),
            (JOINT.format(-1, 1, "fast"), None, None, DescriptionError,
             r"bad.urdf:2: joint 'a': <limit> velocity: 'fast' is not a finite number"),
            (JOINT.format(-1, "1e999", 1), None, None, DescriptionError, r"<limit> upper: '1e999' is not a finite"),
            (JOINT.replace("/>", ' effort="strong"/>').format(-1, 1, 1), None, None, DescriptionError,
             r"bad.urdf:2: joint 'a': <limit> effort: 'strong' is not a finite number"),
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
                    kwargs = joints if isinstance(joints, dict) else {"joints": joints}
                    with self.assertRaisesRegex(error, message):
                        load_joint_limits(urdf, yaml, **kwargs)
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
        if out.seekable():
            out.seek(0)
        return code, out.read() if out.readable() else "", err.getvalue()

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
        code, table, err = self.run_command("--urdf", str(URDF), "--yaml", str(PLANNING))
        self.assertEqual(code, 0)
        self.assertIn("-1.7628 rad (soft limit) .. 1.8326 rad (URDF)   2.175 rad/s (URDF)  7.5 rad/s^2 (YAML)   "
                      "3750.0 rad/s^3 (YAML)   87.0 N\u00b7m (URDF)\n", table)
        self.assertIn("0.0 .. 0.04 m (URDF)   ", table)
        self.assertIn("inf (none)              20.0 N (URDF)\n", table)
        self.assertIn("-inf .. inf (none)", table)
        self.assertIn("no acceleration limit: finger_left\nno jerk limit: finger_left\n", table)
        self.assertRegex(err, r"^limits: warning: .*planning.yaml:8: the map 'cartesian_limits' is not read .*\n$")
        code, text, _ = self.run_command("--urdf", str(URDF), "--joints", "finger_right", "--no-soft-limits",
                                         "--json")
        self.assertEqual(json.loads(text)["joints"][0]["max_velocity"],
                         {"value": 0.2, "source": "URDF", "widened": False})
        self.assertEqual(json.loads(text)["without_jerk_limit"], ["finger_right"])
        self.assertEqual(json.loads(text)["joints"][0]["effort"], {"value": 20.0, "source": "URDF"})
        code, out, err = self.run_command("--urdf", str(URDF), "--joints", "nope")
        self.assertEqual((code, out), (2, ""))
        self.assertRegex(err, r"^limits: joint 'nope' is not in .*egret.urdf\n$")
        # The same YAML refused, then loaded with each widened value marked, then refused for a warning.
        with tempfile.TemporaryDirectory() as directory:
            wide = write(directory, "wide.yaml", "joint_limits:\n  elbow: {max_velocity: 3}\n"
                                                 "  wrist_pitch: {has_velocity_limits: false}\n  ghost: {}\n")
            self.assertEqual(self.run_command("--urdf", str(URDF), "--yaml", wide)[0], 2)
            code, table, err = self.run_command("--urdf", str(URDF), "--yaml", wide, "--allow-widening")
            self.assertEqual(code, 0)
            self.assertIn("  3.0 rad/s (YAML, widened)  ", table)
            self.assertIn("\nno velocity limit: wrist_pitch\n", table)
            self.assertRegex(err, r"^limits: warning: .*wide.yaml:4: joint 'ghost': not in .*egret.urdf; skipped\n$")
            code, _, err = self.run_command("--urdf", str(URDF), "--yaml", wide, "--allow-widening", "--strict")
            self.assertEqual(code, 2)
            self.assertRegex(err, r"^limits: .*wide.yaml:4: joint 'ghost': not in .*egret.urdf\n$")

    def test_a_reader_that_leaves_ends_nothing_in_a_traceback(self):
        read, written = os.pipe()
        os.close(read)
        with open(written, "w") as closed:
            code, _, err = self.run_command("--urdf", str(URDF), "--json", out=closed)
        self.assertEqual((code, err), (0, ""))


if __name__ == "__main__":
    unittest.main()
