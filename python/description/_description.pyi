"""The robot description reader of libkestrel_description (see kestrel.load_joint_limits)."""
import os
from collections.abc import Sequence

_Row = tuple[str, str, str, tuple[float, float, float, float, float], tuple[str, str, str, str, str],
             tuple[bool, bool, bool, bool, bool], float]

_Path = bytes | str | os.PathLike[str]

def describe(urdf: _Path | None, yaml: _Path | None, joints: Sequence[str] | None, soft_limits: bool, strict: bool,
             allow_widening: bool, /) -> tuple[list[_Row], list[str]]: ...
