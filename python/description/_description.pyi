"""The robot description reader of libkestrel_description (see kestrel.load_joint_limits)."""
from collections.abc import Sequence

_Row = tuple[str, str, str, tuple[float, float, float, float, float], tuple[str, str, str, str, str]]

def describe(urdf: bytes | str | None, yaml: bytes | str | None, joints: Sequence[str] | None,
             soft_limits: bool, /) -> list[_Row]: ...
