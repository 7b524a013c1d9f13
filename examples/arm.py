"""The demo's seven-joint arm: its datasheet limits and the controller that drives it.

Joints are numbered 0 to 6, as the boundary's axes. The controller moves the
arm through a few poses with a proportional law that asks for far more than
the joints may do, and loses track of one joint for a while (it sends NaN):
enough to make every limit of the joint limiter bind somewhere.
"""
import math

import kestrel

PERIOD = 0.001  # s: 1 kHz
DURATION = 3.0  # s of simulated motion

# Per joint: position range (rad), then the largest velocity (rad/s),
# acceleration (rad/s^2) and jerk (rad/s^3), as a datasheet gives them.
NAMES = ["base", "shoulder", "upper arm", "elbow", "forearm", "wrist", "flange"]
LIMITS = [
    kestrel.JointLimits(min_position=-2.9, max_position=2.9, max_velocity=2.0, max_acceleration=12.0, max_jerk=6000.0),
    kestrel.JointLimits(min_position=-1.8, max_position=1.8, max_velocity=2.0, max_acceleration=8.0, max_jerk=4000.0),
    kestrel.JointLimits(min_position=-2.9, max_position=2.9, max_velocity=2.0, max_acceleration=10.0, max_jerk=5000.0),
    kestrel.JointLimits(min_position=-3.0, max_position=-0.1, max_velocity=2.0, max_acceleration=12.0, max_jerk=6000.0),
    kestrel.JointLimits(min_position=-2.9, max_position=2.9, max_velocity=2.6, max_acceleration=15.0, max_jerk=7500.0),
    kestrel.JointLimits(min_position=0.0, max_position=3.7, max_velocity=2.6, max_acceleration=20.0, max_jerk=10000.0),
    kestrel.JointLimits(min_position=-2.9, max_position=2.9, max_velocity=2.6, max_acceleration=20.0, max_jerk=10000.0),
]
JOINTS = len(LIMITS)

HOME = [0.0, -0.6, 0.0, -2.2, 0.0, 2.6, 0.8]
# The poses the controller heads for, each for an equal share of the run.
# Some lie beyond a joint's range (the elbow's -0.0, the wrist's 3.9): the
# limiter stops those joints at their limits.
POSES = [
    [1.2, 0.4, -0.8, -0.0, 1.5, 3.9, -1.0],
    [-0.5, -1.2, 0.9, -2.6, -1.2, 1.4, 2.0],
    [0.8, 0.2, 0.3, -1.4, 0.9, 2.4, -0.6],
    HOME,
]
GAIN = 6.0  # 1/s: desired velocity per rad of error
# The controller loses track of the wrist for 80 ms and asks it to stop (NaN).
LOST = (5, 2.30, 2.38)  # joint, from, until (s)


def desired_velocities(time, positions):
    """The controller's velocity request for every joint at `time` (s)."""
    pose = POSES[min(int(time / DURATION * len(POSES)), len(POSES) - 1)]
    desired = [GAIN * (target - position) for target, position in zip(pose, positions)]
    joint, start, end = LOST
    if start <= time < end:
        desired[joint] = math.nan
    return desired
