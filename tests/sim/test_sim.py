"""The simulated arm: each scenario of kestrel_sim, judged on the plant as MuJoCo measured it."""
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path[:0] = [str(ROOT / "sim"), str(ROOT / "tests" / "support")]
from plot_sim import read_datasheet, read_run  # noqa: E402
from readme import readme_blocks  # noqa: E402

SCENARIOS = ("nominal", "runaway", "nan", "attack", "link-loss")
# The drives track with inertia, gravity and friction feedforward; what they
# leave is the feedforward's lag of one period, under 2e-4 rad in every
# scenario. 1e-3 rad is five times that, and half of what the slowest joint
# travels in one period at its velocity limit (2 rad/s): a limit missed by a
# single period fails.
POSITION_TOLERANCE = 1e-3  # rad
VELOCITY_MARGIN = 0.05
AT_REST = 1e-3  # rad/s
LINK_LOSS = 4.0  # s, when the link-loss scenario's frames stop
WATCHDOG_TIMEOUT = 0.020  # s, the actuator side's
INJECTED = ("replayed", "reordered", "bit_flipped")


def braking_time(joint, velocity):
    """An upper bound of the jerk-limited stop from `velocity` with any acceleration inside the limit:
    ramp the acceleration over to full braking, hold it, ramp it back to 0."""
    return abs(velocity) / joint.max_acceleration + 3 * joint.max_acceleration / joint.max_jerk


class SimulationTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.joints = read_datasheet()
        cls.output = pathlib.Path(os.environ["KESTREL_SIM_OUTPUT"])
        cls.runs = {}
        for scenario in SCENARIOS:
            csv = cls.output / f"{scenario}.csv"
            result = subprocess.run([os.environ["KESTREL_SIM_PROGRAM"], "--scenario", scenario, "--csv", str(csv)],
                                    capture_output=True, text=True)
            print(result.stdout, end="")
            cls.runs[scenario] = (result, read_run(csv) if result.returncode == 0 else None)

    def test_every_scenario_keeps_the_plant_inside_its_limits(self):
        for scenario, (result, run) in self.runs.items():
            with self.subTest(scenario=scenario):
                # The program's own verdict: nothing refused by the boundary,
                # no injected frame accepted by the guard.
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                for index, joint in enumerate(self.joints):
                    series = run[index]
                    self.assertGreaterEqual(min(series.position), joint.min_position - POSITION_TOLERANCE, joint)
                    self.assertLessEqual(max(series.position), joint.max_position + POSITION_TOLERANCE, joint)
                    self.assertLessEqual(max(map(abs, series.velocity)), joint.max_velocity * (1 + VELOCITY_MARGIN),
                                         joint)
                    accepted = [event for *_, event in series.events if event.endswith(":accepted")]
                    self.assertEqual(accepted, [], joint)

    def test_each_fault_reached_the_chain(self):
        # Without this, a scenario that lost its fault would pass the check above.
        events = {scenario: {event for series in run.values() for *_, event in series.events}
                  for scenario, (_, run) in self.runs.items()}
        self.assertTrue({event.split(":")[0] for event in events["attack"]} >= set(INJECTED), events["attack"])
        self.assertIn("stop_request", events["nan"])
        _, runaway = self.runs["runaway"]
        for index, joint in enumerate(self.joints):
            with self.subTest(runaway=joint.name):
                series = runaway[index]
                self.assertLess(min(series.position), joint.min_position + POSITION_TOLERANCE)
                self.assertGreater(max(series.position), joint.max_position - POSITION_TOLERANCE)
                self.assertGreater(max(map(abs, series.velocity)), 0.99 * joint.max_velocity)

    def test_the_watchdog_brings_every_joint_to_rest_after_the_link_is_lost(self):
        _, run = self.runs["link-loss"]
        for index, joint in enumerate(self.joints):
            with self.subTest(joint=joint.name):
                series = run[index]
                expiry = [time for time, _, event in series.events if event == "watchdog_expired"]
                self.assertEqual(len(expiry), 1, series.events)
                self.assertTrue(LINK_LOSS < expiry[0] <= LINK_LOSS + WATCHDOG_TIMEOUT + 0.002, expiry)
                at_expiry = series.time.index(expiry[0])
                moving = max(abs(series.velocity[at_expiry]), abs(series.commanded[at_expiry]))
                rest_by = expiry[0] + braking_time(joint, moving) + 0.5
                late = [abs(velocity) for time, velocity in zip(series.time, series.velocity) if time >= rest_by]
                self.assertTrue(late and max(late) < AT_REST, (rest_by, max(late, default=None)))

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
            env = dict(os.environ, PATH=f"{work / 'bin'}:{os.environ['PATH']}")
            for line in lines:
                result = subprocess.run(["bash", "-euo", "pipefail", "-c", line], cwd=work, env=env,
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, f"README.md:{block.line}: {line}\n{result.stderr}")
                picture = work / line.split()[-1]
                self.assertGreater(picture.stat().st_size, 10_000, line)


if __name__ == "__main__":
    unittest.main()
