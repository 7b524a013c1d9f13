"""``python3 -m kestrel limits``: a robot's joint limits as this library reads them, with their sources."""
import argparse
import json
import math
import os
import sys
import warnings
from typing import IO, Any, Dict, List, Optional, Tuple

from .description import DescribedJoint, DescriptionError, DescriptionWarning, describe_joints

FIELDS = ("min_position", "max_position", "max_velocity", "max_acceleration", "max_jerk")
# By field; a prismatic joint moves in metres, the others turn in radians.
UNITS = {"m": ("m", "m", "m/s", "m/s^2", "m/s^3"), "rad": ("rad", "rad", "rad/s", "rad/s^2", "rad/s^3")}
# The URDF's effort: a force on a prismatic joint, a torque on the others.
EFFORT_UNITS = {"m": "N", "rad": "N\u00b7m"}


def add_parser(commands: Any) -> None:
    limits = commands.add_parser(
        "limits", help="show the joint limits read from a robot's URDF and joint_limits.yaml",
        description="Print every joint's limits as kestrel.load_joint_limits reads them, with the source of "
                    "each value (URDF, soft limit, YAML or none) and the URDF's effort (N\u00b7m, or N for a "
                    "prismatic joint), and name the joints without a velocity, acceleration or jerk limit. "
                    "Warnings go to stderr. Exits 2 if the files cannot give limits.")
    limits.add_argument("--urdf", metavar="F", help="the robot's URDF")
    limits.add_argument("--yaml", metavar="F", help="the robot's joint_limits.yaml")
    limits.add_argument("--joints", metavar="a,b", help="the joints to show, in this order (default: the "
                                                        "URDF's movable joints without mimic joints)")
    limits.add_argument("--no-soft-limits", action="store_true", help="ignore <safety_controller>")
    limits.add_argument("--strict", action="store_true",
                        help="every warning is an error (a YAML joint the URDF lacks, an unknown key set to false, "
                             "a map that is not read)")
    limits.add_argument("--allow-widening", action="store_true",
                        help="let the YAML widen or remove a URDF limit (the table marks each value it widened)")
    limits.add_argument("--json", action="store_true",
                        help="print JSON instead (an absent limit or effort is null, its source \"none\")")
    limits.set_defaults(run=run)


def _number(value: float, unit: str = "") -> str:
    if not math.isfinite(value):
        return "-inf" if value < 0 else "inf"
    return f"{value!r} {unit}" if unit else repr(value)


def _source(joint: DescribedJoint, field: int) -> str:
    return f"({joint.sources[field]}, widened)" if joint.widened[field] else f"({joint.sources[field]})"


def _units(joint: DescribedJoint) -> Tuple[str, ...]:
    return UNITS["m" if joint.type == "prismatic" else "rad"] if joint.type else ("",) * 5


def _effort(joint: DescribedJoint) -> str:
    unit = EFFORT_UNITS["m" if joint.type == "prismatic" else "rad"] if joint.type else ""
    return f"{_number(joint.effort, unit)} ({'URDF' if math.isfinite(joint.effort) else 'none'})"


def _cell(joint: DescribedJoint, field: int) -> str:
    return f"{_number(getattr(joint.limits, FIELDS[field]), _units(joint)[field])} {_source(joint, field)}"


def _lacking(joints: List[DescribedJoint], field: int) -> List[str]:
    return [j.name for j in joints if math.isinf(getattr(j.limits, FIELDS[field]))]


def _write(out: IO[str], text: str) -> None:
    """Writes `text`, with what the stream's encoding cannot show (a name on an ASCII terminal) escaped: \\xe9."""
    encoding = getattr(out, "encoding", None) or "utf-8"
    out.write(text.encode(encoding, "backslashreplace").decode(encoding))


def _print_table(joints: List[DescribedJoint], out: IO[str]) -> None:
    rows = [("joint", "type", "position", "velocity", "acceleration", "jerk", "effort")]
    for j in joints:
        low, high = _cell(j, 0), _cell(j, 1)
        if (j.sources[0], j.widened[0]) == (j.sources[1], j.widened[1]):
            low, high = _number(j.limits.min_position), _cell(j, 1)
        kind = (j.type or "?") + (f", mimics {j.mimics}" if j.mimics else "")
        rows.append((j.name, kind, f"{low} .. {high}", _cell(j, 2), _cell(j, 3), _cell(j, 4), _effort(j)))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    for row in rows:
        _write(out, "  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")
    for field, what in ((2, "velocity"), (3, "acceleration"), (4, "jerk")):
        lacking = _lacking(joints, field)
        if lacking:
            _write(out, f"no {what} limit: {', '.join(lacking)}\n")


def _as_json(joints: List[DescribedJoint]) -> Dict[str, Any]:
    def entry(j: DescribedJoint) -> Dict[str, Any]:
        out: Dict[str, Any] = {"name": j.name, "type": j.type, "mimics": j.mimics}
        for i, field in enumerate(FIELDS):
            value = getattr(j.limits, field)
            out[field] = {"value": value if math.isfinite(value) else None, "source": j.sources[i],
                          "widened": j.widened[i]}
        finite = math.isfinite(j.effort)
        out["effort"] = {"value": j.effort if finite else None, "source": "URDF" if finite else "none"}
        return out
    return {"joints": [entry(j) for j in joints], "without_velocity_limit": _lacking(joints, 2),
            "without_acceleration_limit": _lacking(joints, 3), "without_jerk_limit": _lacking(joints, 4)}


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    if args.urdf is None and args.yaml is None:
        parser.error("limits: give --urdf, --yaml or both")
    names: Optional[List[str]] = None if args.joints is None else [n.strip() for n in args.joints.split(",")]
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", DescriptionWarning)
            joints = describe_joints(args.urdf, args.yaml, joints=names, soft_limits=not args.no_soft_limits,
                                     strict=args.strict, allow_widening=args.allow_widening)
    except (DescriptionError, OSError) as error:
        print(f"limits: {error}", file=sys.stderr)
        return 2
    for warning in caught:
        print(f"limits: warning: {warning.message}", file=sys.stderr)
    try:
        if args.json:
            json.dump(_as_json(joints), sys.stdout, indent=2)
            sys.stdout.write("\n")
        else:
            _print_table(joints, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader left (`| head`): what it read is all it wanted, and the exit flush must not fail either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0
