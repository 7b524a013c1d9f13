"""kestrel_ros2 driven by a ROS 2 controller's stand-in (kestrel_ros2_probe) over loopback only: every
DDS participant runs with the Cyclone configuration of CYCLONEDDS_URI (127.0.0.1, no multicast), and the
UDP link sends to 127.0.0.1."""
import os
import signal
import socket
import subprocess
import tempfile
import unittest

BRIDGE = os.environ["KESTREL_ROS2"]
PROBE = os.environ["KESTREL_ROS2_PROBE"]
JOINTS = "a,b,c,d,e,f,g"
MAX_VELOCITY = 1.0
REPLAYS = 5


def counts(line):
    """{name: int} of a line "ROLE name=value ..."."""
    return {name: int(value) for name, value in (item.split("=") for item in line.split()[1:])}


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

    def start(self, *arguments):
        return subprocess.Popen([BRIDGE, "--key-file", self.key, *arguments], env=self.env, text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def stop(self, process, how=signal.SIGINT):
        process.send_signal(how)
        out, err = process.communicate(timeout=20)
        self.assertEqual(process.returncode, 0, err)
        return {line.split()[0]: counts(line) for line in out.splitlines()}

    def test_a_controller_run_on_each_link(self):
        """Ramps, requests over the limit, NaN and wrong lengths at 1 kHz, then silence with replayed frames:
        every joint within its limit, the over-limit request limited, each refusal counted, rest by the
        watchdog, every replay refused."""
        shared = ["--joints", JOINTS, "--max-velocity", str(MAX_VELOCITY)]
        for link, together in (("dds", True), ("dds", False), (f"udp:127.0.0.1:{free_udp_port()}", False)):
            with self.subTest(link=link, one_process=together):
                link_arguments = ["--link", link]
                if together:
                    processes = [self.start("--role", "both", *shared, *link_arguments)]
                else:  # the actuator first, so that it binds the UDP port before frames come
                    processes = [self.start("--role", role, *shared, *link_arguments)
                                 for role in ("actuator", "controller")]
                replays = REPLAYS if link == "dds" else 0
                probe = subprocess.run([PROBE, "--joints", "7", "--script", "check", "--max-velocity",
                                        str(MAX_VELOCITY), "--replays", str(replays)],
                                       env=self.env, capture_output=True, text=True, timeout=60)
                results = {}
                for process in processes:
                    results.update(self.stop(process, signal.SIGTERM if together else signal.SIGINT))
                self.assertEqual(probe.returncode, 0, probe.stderr)
                self.judge(probe.stdout, results, replays)

    def judge(self, probe_output, results, replays):
        states = [line.split() for line in probe_output.splitlines() if line.startswith("state ")]
        sent = counts(probe_output.splitlines()[-1])
        controller, actuator = results["controller"], results["actuator"]
        self.assertGreater(len(states), 2000)
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
        self.assertEqual(controller["refused_nan"], sent["nan"])
        self.assertEqual(controller["refused_wrong_length"], sent["wrong_length"])
        self.assertEqual(controller["commands_applied"] + controller["commands_superseded"],
                         sent["total"] - sent["nan"] - sent["wrong_length"])
        # No genuine frame refused: the only refusals are the replays below. (Over DDS the reader keeps the
        # newest frame of each joint, so a late period may see fewer than were sent.)
        self.assertLessEqual(actuator["frames_accepted"], controller["frames_sent"])
        self.assertGreater(actuator["frames_accepted"], controller["frames_sent"] * 0.9)
        self.assertEqual([name for name in actuator if name.startswith("refused_")],
                         ["refused_replay_counter"] if replays else [])
        # Silence: the watchdog expired once and the joints came to rest (braking from 0.5 rad/s takes
        # some 30 ms); the replayed frames, refused, moved nothing.
        self.assertEqual(actuator["watchdog_expiries"], 1)
        self.assertEqual(actuator.get("refused_replay_counter", 0), replays)
        self.assertEqual(sent.get("replays", 0), replays)
        resting = [state for state in states if state[1] == "silence"][200:]
        self.assertGreater(len(resting), 300)
        self.assertEqual({tuple(state[3:17]) for state in resting}, {tuple(resting[0][3:17])})
        self.assertEqual({float(v) for v in resting[0][10:17]}, {0.0})

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
