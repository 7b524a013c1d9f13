"""kestrel_sim on both shipped models: every scenario passes every verdict, each fault reaches the chain, each
verdict fails when the piece of the chain it rests on is switched off, and a robot comes in by its files."""
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "sim"), str(ROOT / "tests" / "support")]
from plot_sim import joints_path, read_joints, read_run  # noqa: E402
from readme import readme_blocks  # noqa: E402

PROGRAM = os.environ.get("KESTREL_SIM_PROGRAM", "")
SWITCHABLE = os.environ.get("KESTREL_SIM_SWITCHABLE", "")
MODELS = ("arm", "lift_arm")
SCENARIOS = ("nominal", "runaway", "nan", "attack", "link-loss", "model-error", "latency", "collision", "slow-stop")
CHECKS = ("mujoco", "duration", "position", "velocity", "frames", "finite", "monitor")
INJECTED = ("replayed", "reordered", "bit_flipped")


def run(program, *arguments):
    # In the build directory: MuJoCo writes its warnings to MUJOCO_LOG.TXT where it runs.
    return subprocess.run([program, *map(str, arguments)], capture_output=True, text=True, timeout=120,
                          cwd=os.environ["KESTREL_SIM_OUTPUT"])


def verdicts(stdout):
    """{check: "PASS" or "FAIL"} from a run's verdict lines."""
    return {check: result for result, check in re.findall(r"^(PASS|FAIL) (\w+):", stdout, re.M)}


class ShippedModelsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.output = pathlib.Path(os.environ["KESTREL_SIM_OUTPUT"])
        cls.runs = {}
        for model in MODELS:
            for scenario in SCENARIOS:
                csv = cls.output / f"{model}-{scenario}.csv"
                result = run(PROGRAM, "--model", ROOT / "sim" / f"{model}.xml", "--scenario", scenario, "--csv", csv)
                print(result.stdout, end="")
                cls.runs[model, scenario] = (result, csv)

    def test_every_verdict_passes(self):
        for (model, scenario), (result, _) in self.runs.items():
            with self.subTest(model=model, scenario=scenario):
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                found = verdicts(result.stdout)
                stops = scenario in ("link-loss", "model-error", "collision", "slow-stop")
                self.assertEqual(set(found), set(CHECKS) | ({"stop"} if stops else set()), result.stdout)
                self.assertEqual(set(found.values()), {"PASS"}, result.stdout)

    def test_each_fault_reached_the_chain(self):
        # Without this, a scenario that lost its fault would pass the verdicts above.
        for model in MODELS:
            events = {}
            for scenario in ("attack", "nan", "latency", "collision", "link-loss"):
                series = read_run(self.runs[model, scenario][1]).values()
                events[scenario] = {event.split(":")[0] for joint in series for *_, event in joint.events}
            with self.subTest(model=model):
                self.assertGreaterEqual(events["attack"], set(INJECTED))
                self.assertIn("stop_request", events["nan"])
                self.assertIn("collision", events["collision"])
                self.assertIn("watchdog_expired", events["link-loss"])
                # The drive that brakes too gently is cut off by the monitor's ramp, not left to finish.
                self.assertRegex(self.runs[model, "slow-stop"][0].stdout, r"PASS monitor: .*request.*, then SS1")
                stale = re.search(r"(\d+) refused as stale", self.runs[model, "latency"][0].stdout)
                self.assertGreater(int(stale[1]), 0)
                joints = read_joints(joints_path(self.runs[model, "runaway"][1]))
                for index, series in read_run(self.runs[model, "runaway"][1]).items():
                    limits = joints[index]
                    self.assertLess(min(series.position), limits.min_position + 0.01, limits)
                    self.assertGreater(max(series.position), limits.max_position - 0.01, limits)

    def test_the_readme_plots_a_run(self):
        # The README's plot lines, in a directory laid out like the
        # repository after the workflow, with `python3` this interpreter.
        block, = readme_blocks("Simulation", "sh")
        lines = [line for line in block.code.splitlines() if line.startswith("python3 ")]
        self.assertTrue(lines, block)
        with tempfile.TemporaryDirectory() as work:
            work = pathlib.Path(work)
            (work / "sim").symlink_to(ROOT / "sim")
            (work / "build" / "sim" / "tests").mkdir(parents=True)
            (work / "build" / "sim" / "tests" / "sim").symlink_to(self.output)
            (work / "bin").mkdir()
            (work / "bin" / "python3").symlink_to(sys.executable)
            # An interpreter without matplotlib is told which one it is.
            (work / "shadow" / "matplotlib").mkdir(parents=True)
            (work / "shadow" / "matplotlib" / "__init__.py").write_text("raise ModuleNotFoundError('matplotlib')\n")
            env = dict(os.environ, PATH=f"{work / 'bin'}:{os.environ['PATH']}")
            for line in lines:
                result = subprocess.run(["bash", "-euo", "pipefail", "-c", line], cwd=work, env=env,
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, f"README.md:{block.line}: {line}\n{result.stderr}")
                self.assertGreater((work / line.split()[-1]).stat().st_size, 10_000, line)
                shadowed = subprocess.run(["bash", "-c", line], cwd=work, capture_output=True, text=True,
                                          env=dict(env, PYTHONPATH=str(work / "shadow")))
                self.assertIn(f"not installed for {work / 'bin' / 'python3'}", shadowed.stderr)
                self.assertIn("apt-get install python3-matplotlib", shadowed.stderr)


class VerdictsCanFailTest(unittest.TestCase):
    # Each verdict, and the piece of the chain it rests on, switched off in the test build.
    SWITCHED = (("model-error", "monitor", "position"), ("collision", "monitor", "velocity"),
                ("attack", "guard", "frames"), ("link-loss", "limiters", "finite"),
                # refused frames on an attacked link once crashed the bench:
                ("attack", "limiters", "frames"),
                ("link-loss", "watchdog", "monitor"), ("slow-stop", "brake", "stop"))

    def test_each_verdict_fails_without_its_piece(self):
        for model in MODELS:
            for scenario, piece, check in self.SWITCHED:
                with self.subTest(model=model, scenario=scenario, off=piece):
                    result = run(SWITCHABLE, "--model", ROOT / "sim" / f"{model}.xml", "--scenario", scenario,
                                 "--switch-off", piece)
                    self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                    self.assertEqual(verdicts(result.stdout).get(check), "FAIL", result.stdout)


ONE_JOINT = """<mujoco><option timestep="0.001"/><worldbody><body name="link"><joint name="{joint}" axis="0 1 0"
  {limited}/><inertial pos="0.2 0 0" mass="{mass}" diaginertia="{inertia} {inertia} {inertia}"/></body></worldbody>
  <actuator><motor joint="{joint}" forcelimited="true" forcerange="-20 20"/></actuator></mujoco>"""
URDF = """<robot name="pendulum"><link name="world"/><link name="link"/><joint name="pivot" type="revolute">
  <parent link="world"/><child link="link"/><limit lower="-1" upper="1.5" effort="15" velocity="1.5"/></joint></robot>"""
YAML = "joint_limits:\n  pivot: {max_acceleration: 6, max_jerk: 3000}\n"


class RobotFromItsFilesTest(unittest.TestCase):
    def test_files_and_refusals(self):
        with tempfile.TemporaryDirectory() as work:
            work = pathlib.Path(work)
            pendulum = ONE_JOINT.format(joint="pivot", limited="", mass=1, inertia=0.01)
            files = {"pendulum.xml": pendulum, "bare.xml": pendulum[:pendulum.index("<actuator>")] + "</mujoco>",
                     "stops.xml": ONE_JOINT.format(joint="pivot", limited='limited="true" range="-1 1"', mass=1,
                                                   inertia=0.01),
                     "feather.xml": ONE_JOINT.format(joint="pivot", limited="", mass=1e-4, inertia=1e-6),
                     "pendulum.urdf": URDF, "limits.yaml": YAML,
                     "other.urdf": URDF.replace('"pivot"', '"hinge"'),
                     "no_effort.urdf": URDF.replace(' effort="15"', ""), "zero.urdf": URDF.replace('"15"', '"0"')}
            for name, text in files.items():
                (work / name).write_text(text)
            limits = ("--urdf", work / "pendulum.urdf", "--yaml", work / "limits.yaml")
            yaml = ("--yaml", work / "limits.yaml")
            table = (  # arguments, exit code, what stdout or stderr must hold
                # Each joint's torque limit: --max-torque, else the URDF's effort, else the actuator's range.
                (("--model", work / "pendulum.xml", *limits), 0, r"pivot 15 N m \(URDF\)\n[\s\S]*PASS monitor"),
                (("--model", work / "bare.xml", *limits), 0, r"pivot 15 N m \(URDF\)\n[\s\S]*PASS monitor"),
                (("--model", work / "pendulum.xml", "--urdf", work / "no_effort.urdf", *yaml), 0,
                 r"pivot 20 N m \(actuator\)"),
                (("--model", work / "pendulum.xml", *limits, "--max-torque", "7"), 0, r"pivot 7 N m \(--max-torque\)"),
                (("--model", work / "pendulum.xml", *limits, "--max-torque", "7,8"), 2,
                 r"--max-torque: 2 values for 1 driven joint;"),
                (("--model", work / "pendulum.xml", "--urdf", work / "zero.urdf", *yaml), 2,
                 r"joint 'pivot': the URDF's effort 0 is not > 0; give --max-torque"),
                (("--model", work / "stops.xml", *limits), 2, r"'pivot' has a limit of its own.*--allow-joint-stops"),
                (("--model", work / "pendulum.xml", "--urdf", work / "other.urdf"), 2, r"pivot"),
                (("--model", work / "pendulum.xml", *limits, "--joints", "elbow"), 2, r"no joint 'elbow'"),
                (("--help",), 0, r"--link-jitter"),
                (("--link-drop", "2"), 2, r"--link-drop wants a number in \[0"),
                # The drive's model 2000 times the plant's inertia, unwatched: its gains make the step unstable.
                (("--model", work / "feather.xml", *limits, "--drive-model", work / "pendulum.xml",
                  "--max-torque", "1e6", "--switch-off", "monitor"), 1, r"FAIL mujoco: [1-9].*\nFAIL duration"),
            )
            for arguments, code, pattern in table:
                with self.subTest(arguments=arguments[-2:]):
                    program = SWITCHABLE if "--switch-off" in arguments else PROGRAM
                    result = run(program, *arguments, *(() if "--help" in arguments else ("--duration", 2)))
                    self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                    self.assertRegex(result.stdout + result.stderr, pattern)


if __name__ == "__main__":
    unittest.main()
