"""kestrel_ros2 driven by a ROS 2 controller's stand-in (kestrel_ros2_probe) over loopback only: every
DDS participant runs with the Cyclone configuration of CYCLONEDDS_URI (127.0.0.1, no multicast), and the
UDP link sends to 127.0.0.1."""
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from readme import readme_blocks  # noqa: E402

BRIDGE = os.environ["KESTREL_ROS2"]
PROBE = os.environ["KESTREL_ROS2_PROBE"]
JOINTS = "a,b,c,d,e,f,g"
MAX_VELOCITY = 1.0
REPLAYS = 5
STRACE = shutil.which("strace")
SENDS = ("sendto(", "sendmsg(", "sendmmsg(", "connect(")


def counts(line):
    """{name: value} of a line "ROLE name=value ...": an int where the value is one, else its text."""
    return {name: int(value) if value.isdigit() else value
            for name, value in (item.split("=") for item in line.split()[1:])}


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Ros2Test(unittest.TestCase):
    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.key = os.path.join(work.name, "link.key")
        with open(os.open(self.key, os.O_WRONLY | os.O_CREAT, 0o600), "wb") as key:
            key.write(os.urandom(32))
        # A domain of this run's own, so that runs beside each other do not meet.
        self.env = dict(os.environ, ROS_DOMAIN_ID=str(100 + os.getpid() % 100))

    def start(self, *arguments, trace=None):
        command = [BRIDGE, "--key-file", self.key, *arguments]
        if trace:  # every system call that addresses a datagram or a connection, into the file trace
            command = [STRACE, "-f", "-qq", "--seccomp-bpf", "-e", "trace=sendto,sendmsg,sendmmsg,connect",
                       "-o", trace, *command]
        return subprocess.Popen(command, env=self.env, text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def stop(self, process, how=signal.SIGINT, traced=False):
        if traced:  # the signal goes to the program strace runs, whose exit status strace returns
            pid = int(pathlib.Path(f"/proc/{process.pid}/task/{process.pid}/children").read_text().split()[0])
            os.kill(pid, how)
        else:
            process.send_signal(how)
        out, err = process.communicate(timeout=20)
        self.assertEqual(process.returncode, 0, err)
        return {line.split()[0]: counts(line) for line in out.splitlines()}

    def test_a_controller_run_on_each_link(self):
        """Ramps, requests over the limit, NaN and wrong lengths at 1 kHz, then silence with replayed frames:
        every joint within its limit, the over-limit request limited, each refusal counted, rest by the
        watchdog, every replay refused; the monitor took the watchdog's stop, latched in its stop's end state."""
        # A watchdog and a maximum age that a loaded machine's stalls do not reach.
        shared = ["--joints", JOINTS, "--max-velocity", str(MAX_VELOCITY), "--watchdog", "0.1", "--max-age", "0.5"]
        trajectory = "/joint_trajectory_controller/joint_trajectory"
        for link, together, commands, monitor in (("dds", True, None, "ss1"), ("dds", False, None, "ss2"),
                                                  (f"udp:127.0.0.1:{free_udp_port()}", False, None, None),
                                                  ("dds", True, trajectory, "ss1")):
            with self.subTest(link=link, one_process=together, trajectory=bool(commands), monitor=monitor):
                arguments = [*shared, "--link", link] + (["--trajectory", commands] if commands else [])
                arguments += ["--stop", monitor] if monitor else ["--no-monitor"]
                self.assertIsNotNone(STRACE, "strace (.ci/install-deps all) shows where every datagram goes")
                trace = os.path.join(os.path.dirname(self.key), "trace") if together else None
                if together:
                    processes = [self.start("--role", "both", *arguments, trace=trace)]
                else:  # the actuator first, so that it binds the UDP port before frames come
                    sequence = os.path.join(os.path.dirname(self.key), f"{len(link)}.sequence")
                    processes = [self.start("--role", "actuator", *arguments, "--sequence-file", sequence),
                                 self.start("--role", "controller", *arguments)]
                replays = REPLAYS if link == "dds" else 0
                probe = subprocess.run([PROBE, "--joints", "7", "--script", "check", "--max-velocity",
                                        str(MAX_VELOCITY), "--replays", str(replays)]
                                       + (["--commands", commands, "--trajectory", JOINTS] if commands else []),
                                       env=self.env, capture_output=True, text=True, timeout=60)
                results = {}
                for process in processes:
                    results.update(self.stop(process, signal.SIGTERM if together else signal.SIGINT, bool(trace)))
                self.assertEqual(probe.returncode, 0, probe.stderr)
                self.judge(probe.stdout, results, replays)
                self.judge_monitor(probe.stdout, results, monitor)
                if trace:
                    self.assert_loopback_only(trace)
                else:  # the last accepted sequence id was kept, little-endian (one id per frame signed)
                    with open(sequence, "rb") as stored:
                        last = int.from_bytes(stored.read(), "little")
                    self.assertLessEqual(last, results["controller"]["frames_sent"])
                    self.assertGreaterEqual(last, results["actuator"]["frames_accepted"])

    def assert_loopback_only(self, trace):
        with open(trace) as lines:
            sends = [line for line in lines if any(call in line for call in SENDS) and "AF_INET" in line]
        self.assertGreater(len(sends), 100)  # the states to the probe, at least
        addresses = {address for line in sends for address in re.findall(r'inet_addr\("([^"]*)"\)', line)}
        self.assertEqual(addresses, {"127.0.0.1"})
        self.assertFalse([line for line in sends if "AF_INET6" in line])

    def judge(self, probe_output, results, replays):
        states = [line.split() for line in probe_output.splitlines() if line.startswith("state ")]
        sent = counts(probe_output.splitlines()[-1])
        controller, actuator = results["controller"], results["actuator"]
        self.assertGreater(len(states), 500)
        for state in states:
            velocities = [float(v) for v in state[10:17]]
            self.assertLessEqual(max(map(abs, velocities)), MAX_VELOCITY, state)
        # The request of ten times the limit arrives limited: in its half second every joint reaches its
        # limit, in the sign asked for, and goes no further.
        over = [[float(v) for v in state[10:17]] for state in states if state[1] == "over"]
        self.assertEqual([max(column) for column in zip(*over)][::2], [MAX_VELOCITY] * 4)
        self.assertEqual([min(column) for column in zip(*over)][1::2], [-MAX_VELOCITY] * 3)
        # Every command arrives; the refused ones are counted by kind and never applied.
        self.assertEqual(controller["commands_received"], sent["total"])
        # The limited commands pass each joint's own limits in the boundary: none refused there.
        refused = {kind: sent.get(kind, 0) for kind in ("nan", "wrong_length", "unknown_joint",
                                                        "position_out_of_range", "velocity_exceeded")}
        self.assertEqual({kind: controller.get(f"refused_{kind}", 0) for kind in refused}, refused)
        self.assertEqual(controller["commands_applied"] + controller["commands_superseded"],
                         sent["total"] - sum(refused.values()))
        # No genuine frame refused: the only refusals are the replays below. (Over DDS the reader keeps the
        # newest frame of each joint, so a late period sees fewer than were sent: a sixth on this busy machine.)
        self.assertLessEqual(actuator["frames_accepted"], controller["frames_sent"])
        self.assertGreater(actuator["frames_accepted"], controller["frames_sent"] * 0.5)
        self.assertEqual([name for name in actuator if name.startswith("refused_")],
                         ["refused_replay_counter"] if replays else [])
        # Silence: the watchdog expired and the joints came to rest within 0.3 s (0.1 s of watchdog, then
        # some 30 ms of braking from 0.5 rad/s); the replayed frames, refused, moved nothing.
        self.assertEqual(actuator["watchdog_expired"], 1)
        self.assertGreaterEqual(actuator["watchdog_expiries"], 1)
        self.assertEqual(actuator.get("refused_replay_counter", 0), replays)
        self.assertEqual(sent.get("replays", 0), replays)
        silence = [state for state in states if state[1] == "silence"]
        resting = [state for state in silence if float(state[2]) > float(silence[0][2]) + 0.3]
        self.assertGreater(len(resting), 50)
        self.assertEqual({tuple(state[3:17]) for state in resting}, {tuple(resting[0][3:17])})
        self.assertEqual({float(v) for v in resting[0][10:17]}, {0.0})

    def judge_monitor(self, probe_output, results, stop):
        """The watchdog's expiry is the monitor's only trip, a request; the stop ends in TORQUE_OFF (ss1,
        zero velocity to the plant from then on) or STANDSTILL (ss2), where it stays, on the status topic too."""
        actuator = results["actuator"]
        if stop is None:
            self.assertNotIn("monitor", results)
            self.assertNotIn("periods_torque_off", actuator)
            return
        end = {"ss1": "TORQUE_OFF", "ss2": "STANDSTILL"}[stop]
        status = [counts(line.split(None, 1)[1]) for line in probe_output.splitlines()
                  if line.startswith("status monitor ")]
        for shown in (results["monitor"], *status):
            self.assertEqual((shown["state"], shown["function"], shown["value"]), (end, "request", "nan"))
        self.assertEqual(len(status), 1)
        self.assertEqual({name: n for name, n in actuator.items() if name.startswith("trips_")}, {"trips_request": 1})
        self.assertEqual(actuator["periods_torque_off"] > 0, stop == "ss1")

    def test_the_readme_commands(self):
        """The README's two commands, in a directory laid out like the repository after the workflow, with
        the probe as the controller: every command arrives and the states show them."""
        block, = readme_blocks("With ROS 2", "sh")
        lines = block.code.replace("\\\n", "").splitlines()
        self.assertTrue(lines[0].startswith("cmake --workflow"), block.line)  # this test's own workflow
        with tempfile.TemporaryDirectory() as work:
            work = pathlib.Path(work)
            (work / "examples").symlink_to(pathlib.Path(__file__).resolve().parents[2] / "examples")
            (work / "build" / "ros2").mkdir(parents=True)
            (work / "build" / "ros2" / "ros2").symlink_to(pathlib.Path(BRIDGE).parent)
            subprocess.run(["bash", "-euo", "pipefail", "-c", lines[1]], cwd=work, check=True)
            roles = [subprocess.Popen(["bash", "-c", "exec " + line.removesuffix(" &")], cwd=work, env=self.env,
                                      text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                     for line in lines[2:]]
            self.assertEqual(len(roles), 2, block.code)
            probe = subprocess.run([PROBE, "--joints", "7", "--script", "latency", "--seconds", "1"],
                                   env=self.env, capture_output=True, text=True, timeout=60)
            results = {}
            for role in roles:
                results.update(self.stop(role))
        self.assertEqual(probe.returncode, 0, probe.stderr)
        sent = counts(probe.stdout.splitlines()[-1])
        shown = int(re.search(r"^latency shown=(\d+)", probe.stdout, re.M).group(1))
        self.assertEqual(results["controller"]["commands_received"], sent["total"])
        self.assertGreater(shown, sent["total"] // 10)  # the others superseded within a period, or late

    def test_refuses_what_it_cannot_run_with(self):
        """Exit 2 and a line naming the problem, before anything goes on the wire."""
        loose = os.path.join(os.path.dirname(self.key), "loose.key")
        with open(loose, "wb") as key:
            key.write(os.urandom(32))
        os.chmod(loose, 0o644)
        robot = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "robot", "egret.urdf")
        for arguments, message in (
                (["--role", "both", "--joints", JOINTS], "--key-file is required"),
                (["--role", "arm", "--key-file", self.key, "--joints", JOINTS], "--role: 'arm'"),
                (["--role", "both", "--key-file", loose, "--joints", JOINTS], "chmod 600"),
                (["--role", "both", "--key-file", self.key, "--urdf", robot, "--joints", "elbow,knee"], "knee"),
                # the fingers have no acceleration limit for the monitor to judge them by
                (["--role", "actuator", "--key-file", self.key, "--urdf", robot,
                  "--yaml", robot.replace(".urdf", "_planning.yaml")],
                 "'finger_left': max_acceleration"),
                (["--role", "both", "--key-file", self.key, "--joints", JOINTS, "--stop", "ss0"], "--stop: 'ss0'"),
                (["--role", "both", "--key-file", self.key, "--joints", "a,a"], "joint 'a' twice"),
                (["--role", "both", "--key-file", self.key, "--joints", JOINTS, "--link", "udp:localhost:9"],
                 "IPv4"),
                (["--role", "both", "--key-file", self.key, "--joints", JOINTS, "--rate", "0"], "--rate")):
            with self.subTest(arguments=arguments):
                run = subprocess.run([BRIDGE, *arguments], env=self.env, capture_output=True, text=True, timeout=20)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertIn(message, run.stderr)


if __name__ == "__main__":
    unittest.main()
