"""Joint limits from a robot's own files: its URDF and its joint_limits.yaml.

The reader and its rules live in the C library libkestrel_description (see
kestrel_description.h); this module converts its rows into `JointLimits`. The
compiled module is imported on the first load, so that ``import kestrel`` does
not load the XML and YAML parsers.
"""
import math
import os
import warnings
from typing import Dict, List, NamedTuple, Optional, Sequence, Tuple, Union

from ._native import JointLimits

_Path = Union[str, "os.PathLike[str]"]


class DescriptionError(ValueError):
    """A robot description (URDF or joint_limits.yaml) that cannot give joint limits.

    The message names the file, the line where the parser gives one, the joint
    and the field, e.g. ``arm.yaml:12: joint 'elbow': max_jerk: -3 is not > 0``.
    """


class DescriptionWarning(UserWarning):
    """Something a robot description holds that the reader leaves aside, and says so.

    A YAML joint the URDF does not have (skipped), an unknown key whose value
    is false (``has_jerk: false``), a map the reader does not read
    (``cartesian_limits``). The message names the file, the line and the joint
    and says what the reader did; ``strict=True`` makes each an error.
    """


class DescribedJoint(NamedTuple):
    """One loaded joint, where each of its five limits came from, and its actuator's effort."""

    name: str
    type: str  # the URDF's joint type, or "" with only a YAML file
    mimics: str  # the joint a mimic joint follows, or ""
    limits: JointLimits
    sources: Tuple[str, str, str, str, str]  # "URDF", "soft limit", "YAML" or "none", by field
    # By field: a YAML value that widened or removed the URDF's limit (only with allow_widening=True).
    widened: Tuple[bool, bool, bool, bool, bool] = (False,) * 5
    # The URDF's <limit> effort (N m, or N for a prismatic joint), as given; inf where it gives none.
    effort: float = math.inf


def describe_joints(urdf: Optional[_Path] = None, yaml: Optional[_Path] = None, *,
                    joints: Optional[Sequence[str]] = None, soft_limits: bool = True, strict: bool = False,
                    allow_widening: bool = False) -> List[DescribedJoint]:
    """The joints `load_joint_limits` loads, with their type, the source of every value, what was widened and
    the URDF's effort."""
    loaded, notes = _describe(urdf, yaml, joints, soft_limits, strict, allow_widening)
    for note in notes:
        warnings.warn(note, DescriptionWarning, stacklevel=2)
    return loaded


def _describe(urdf: Optional[_Path], yaml: Optional[_Path], joints: Optional[Sequence[str]], soft_limits: bool,
              strict: bool, allow_widening: bool) -> Tuple[List[DescribedJoint], List[str]]:
    from . import _description

    if isinstance(joints, str):
        raise TypeError("joints must be a sequence of names, not one str")
    rows, notes = _description.describe(urdf, yaml, joints, soft_limits, strict, allow_widening)
    return [DescribedJoint(name, kind, mimics, JointLimits(*limits), sources, widened, effort)
            for name, kind, mimics, limits, sources, widened, effort in rows], notes


def load_joint_limits(urdf: Optional[_Path] = None, yaml: Optional[_Path] = None, *,
                      joints: Optional[Sequence[str]] = None, soft_limits: bool = True, strict: bool = False,
                      allow_widening: bool = False) -> Dict[str, JointLimits]:
    """The limits of a robot's joints, read from its URDF, its joint_limits.yaml, or both.

    Returns a dict from joint name to `JointLimits`, in order: by default the
    URDF's revolute, continuous and prismatic joints in file order, without
    mimic joints; with only a YAML file, its joints in its order; or the
    joints named in `joints`, in that order (a mimic joint may be named).

    Position comes from the URDF's lower/upper (none for a continuous
    joint), velocity from its velocity; the YAML's min_position, max_position
    and max_velocity narrow them, and the <safety_controller> narrows position
    further when `soft_limits` is true. Acceleration (the smaller of
    max_acceleration and max_deceleration) and jerk come from the YAML alone.
    An absent limit is infinite; ``!degrees x`` is x * pi / 180.

    A limits file narrows: a YAML value wider than the URDF's, or a
    has_*_limits: false where the URDF gives that limit, raises
    `DescriptionError` unless `allow_widening` is true. The values that win are
    judged: a URDF velocity that is not > 0, or a revolute or prismatic joint
    without lower/upper, is an error unless the YAML gives that value. A YAML
    joint the URDF lacks, an unknown key set to false and a map the reader
    does not read are reported as `DescriptionWarning`; `strict` makes them
    errors.

    Raises `DescriptionError` (a ValueError) naming the file, line, joint and
    field for a file that is not valid or a path that is not a regular file
    (a FIFO is refused, never waited on), FileNotFoundError (or another
    OSError) for one that cannot be read, TypeError when neither file is given.
    """
    loaded, notes = _describe(urdf, yaml, joints, soft_limits, strict, allow_widening)
    for note in notes:
        warnings.warn(note, DescriptionWarning, stacklevel=2)
    return {joint.name: joint.limits for joint in loaded}
