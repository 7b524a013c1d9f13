"""Per-joint kinematic limits at the control rate, on the C library's joint limiter.

One `JointLimiter.limit` call per control period turns the desired joint
velocities into the velocities to command: each one the value nearest to the
desired one that keeps the joint within its position, velocity, acceleration
and jerk limits and still able to stop before a position limit;
`JointLimiter.limit_position` does the same for desired positions and returns
the positions to command. The C header `kestrel_joint_limiter.h` states the
rules in full.
"""
from ._native import MAX_JOINTS, JointLimiter, JointLimits
from ._types import Limit

__all__ = ["JointLimits", "JointLimiter", "Limit"]
