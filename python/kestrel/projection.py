"""The four-axis projection for Python users, over the C library's kestrel_solve_multivar_4d."""
from ._native import project_4d
from ._types import Projection, SolveStatus

__all__ = ["Projection", "SolveStatus", "project_4d"]
