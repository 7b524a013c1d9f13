"""kestrel_ros2's command-to-state latency and loss over loopback DDS, for the benchmark report.

The controller and actuator roles run as two processes beside kestrel_ros2_probe, which publishes
Float64MultiArray commands for 7 joints at 1 kHz and reads sensor_msgs/JointState back: command k asks every
joint for k * 1e-6 rad/s, so the velocity of a state names the newest command it shows. Every participant
runs with the loopback-only Cyclone configuration (ros2/cyclonedds_loopback.xml), in a domain of its own.
"""
import os
import signal
import subprocess
import tempfile

JOINTS = "a,b,c,d,e,f,g"
# Limits that let the small steps of the probe's ramp through unchanged.
LIMITS = ["--max-velocity", "10", "--max-acceleration", "10000", "--max-jerk", "1e9"]


def counts(line):
    """{name: value} of a line "ROLE name=value ..." (numbers as floats)."""
    return {name: float(value) for name, value in (item.split("=") for item in line.split()[1:])}


def measure(bridge, probe, config, seconds):
    """Latency quantiles (ns) and the counts behind the loss of one run of `seconds` at 1 kHz."""
    env = dict(os.environ, CYCLONEDDS_URI=f"file://{config}", ROS_DOMAIN_ID=str(200 + os.getpid() % 30))
    with tempfile.TemporaryDirectory() as work:
        key = os.path.join(work, "link.key")
        with open(os.open(key, os.O_WRONLY | os.O_CREAT, 0o600), "wb") as out:
            out.write(os.urandom(32))
        roles = [subprocess.Popen([bridge, "--role", role, "--key-file", key, "--joints", JOINTS, *LIMITS],
                                  env=env, stdout=subprocess.PIPE, text=True) for role in ("actuator", "controller")]
        try:
            run = subprocess.run([probe, "--joints", "7", "--script", "latency", "--seconds", str(seconds)],
                                 env=env, capture_output=True, text=True, check=True, timeout=seconds + 60)
        finally:
            for role in roles:
                role.send_signal(signal.SIGINT)
        results = {}
        for role in roles:
            out, _ = role.communicate(timeout=30)
            results.update({line.split()[0]: counts(line) for line in out.splitlines()
                            if line.startswith(("controller ", "actuator "))})
    lines = {line.split()[0]: counts(line) for line in run.stdout.splitlines()
             if line.startswith(("latency ", "sent "))}
    latency, sent = lines["latency"], lines["sent"]
    return {"median_ns": latency["median_ms"] * 1e6, "p99_ns": latency["p99_ms"] * 1e6,
            "commands_sent": sent["total"], "commands_received": results["controller"]["commands_received"],
            "frames_sent": results["controller"]["frames_sent"],
            "frames_accepted": results["actuator"]["frames_accepted"],
            "states_published": results["actuator"]["states_published"], "states_received": sent["states"]}
