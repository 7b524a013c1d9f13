"""Joint limits from a robot's own files: its URDF and its joint_limits.yaml.

The reader and its rules live in the C library libkestrel_description (see
kestrel_description.h); this module converts its rows into `JointLimits`. The
compiled module is imported on the first load, so that ``import kestrel`` does
not load the XML and YAML parsers.
"""
import os
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from ._native import JointLimits

_Path = Union[str, "os.PathLike[str]"]


class DescriptionError(ValueError):
    """A robot description (URDF or joint_limits.yaml) that cannot give joint limits.

    The message names the file, the line where the parser gives one, the joint
    and the field, e.g. ``arm.yaml:12: joint 'elbow': max_jerk: -3 is not > 0``.
    """


class DescribedJoint(NamedTuple):
    """One loaded joint and where each of its five limits came from."""

    name: str
    type: str  # the URDF's joint type, or "" with only a YAML file
    mimics: str  # the joint a mimic joint follows, or ""
    limits: JointLimits
    sources: Tuple[str, str, str, str, str]  # "URDF", "soft limit", "YAML" or "none", by field


def describe_joints(urdf: Optional[_Path] = None, yaml: Optional[_Path] = None, *,
                    joints: Optional[Sequence[str]] = None, soft_limits: bool = True) -> List[DescribedJoint]:
    """The joints `load_joint_limits` loads, with their type and the source of every value."""
    from . import _description

    if isinstance(joints, str):
        raise TypeError("joints must be a sequence of names, not one str")
    rows = _description.describe(urdf, yaml, joints, soft_limits)
    return [DescribedJoint(name, kind, mimics, JointLimits(*limits), sources)
            for name, kind, mimics, limits, sources in rows]


def load_joint_limits(urdf: Optional[_Path] = None, yaml: Optional[_Path] = None, *,
                      joints: Optional[Sequence[str]] = None, soft_limits: bool = True) -> Dict[str, JointLimits]:
    """The limits of a robot's joints, read from its URDF, its joint_limits.yaml, or both.

    Returns a dict from joint name to `JointLimits`, in order: by default the
    URDF's revolute, continuous and prismatic joints in file order, without
    mimic joints; with only a YAML file, its joints in its order; or the
    joints named in `joints`, in that order (a mimic joint may be named).

    Position comes from the URDF's lower/upper, narrowed by its
    <safety_controller> when `soft_limits` is true (none for a continuous
    joint); velocity from its velocity. The YAML's min_position, max_position
    and max_velocity replace those; acceleration (the smaller of
    max_acceleration and max_deceleration) and jerk come from the YAML alone. A
    has_*_limits: false removes that limit; an absent limit is infinite.
    ``!degrees x`` is x * pi / 180.

    Raises `DescriptionError` (a ValueError) naming the file, line, joint and
    field for a file that is not valid or a path that is not a regular file
    (a FIFO is refused, never waited on), FileNotFoundError (or another
    OSError) for one that cannot be read, TypeError when neither file is given.
    """
    return {joint.name: joint.limits
            for joint in describe_joints(urdf, yaml, joints=joints, soft_limits=soft_limits)}
