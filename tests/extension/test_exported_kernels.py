"""The two kernels are reachable through the shared object's exported C names."""
import ctypes
import math
import unittest

import _kestrel

# The C records of kestrel.h, field for field.
Float4 = ctypes.c_float * 4


class Bounds4(ctypes.Structure):
    _fields_ = [("lower", Float4), ("upper", Float4)]


class LinearConstraints4(ctypes.Structure):
    _fields_ = [("count", ctypes.c_uint64), ("coefficients", Float4 * 4), ("limits", Float4)]


class Solution4(ctypes.Structure):
    _fields_ = [("x", Float4), ("iterations", ctypes.c_uint64), ("status", ctypes.c_uint32)]


class ScalarConstraints(ctypes.Structure):
    _fields_ = [("coefficients", Float4), ("limits", Float4)]


class ScalarBounds(ctypes.Structure):
    _fields_ = [("lower", ctypes.c_float), ("upper", ctypes.c_float)]


class ScalarSolution(ctypes.Structure):
    _fields_ = [("x", ctypes.c_float), ("iterations", ctypes.c_uint64), ("status", ctypes.c_uint32)]


library = ctypes.CDLL(_kestrel.__file__)
solve_scalar = library.kestrel_solve_active_set
solve_scalar.restype = ctypes.c_int32
solve_scalar.argtypes = [ctypes.c_float, ScalarBounds, ctypes.POINTER(ScalarConstraints), ctypes.POINTER(ScalarSolution)]
solve_4d = library.kestrel_solve_multivar_4d
solve_4d.restype = ctypes.c_int32
solve_4d.argtypes = [ctypes.POINTER(ctypes.c_float), ctypes.POINTER(Bounds4), ctypes.POINTER(LinearConstraints4),
                     ctypes.POINTER(Solution4)]


class ExportedKernelTest(unittest.TestCase):
    def test_record_layouts(self):
        self.assertEqual([ctypes.sizeof(t) for t in (ScalarConstraints, ScalarBounds, ScalarSolution)], [32, 8, 24])
        self.assertEqual([ctypes.sizeof(t) for t in (Bounds4, LinearConstraints4, Solution4)], [32, 88, 32])
        self.assertEqual((LinearConstraints4.limits.offset, Solution4.status.offset), (72, 24))

    def test_scalar_kernel(self):
        constraints = ScalarConstraints(Float4(1, 0, 0, 0), Float4(0.5, 0, 0, 0))
        out = ScalarSolution()
        self.assertEqual(solve_scalar(0.8, ScalarBounds(-1, 1), constraints, out), 0)
        self.assertEqual((out.x, out.iterations, out.status), (0.5, 1, 1))
        self.assertEqual(solve_scalar(0.8, ScalarBounds(-1, 1), None, out), -1)

    def test_four_axis_worked_example(self):
        desired = Float4(2, 2, 0, 0)
        bounds = Bounds4(Float4(-1, -1, -1, -1), Float4(1, 1, 1, 1))
        constraints = LinearConstraints4(1, (Float4 * 4)(Float4(1, 1, 0, 0)), Float4(1, 0, 0, 0))
        out = Solution4()
        self.assertEqual(solve_4d(desired, bounds, constraints, out), 0)
        self.assertEqual(list(out.x), [0.5, 0.5, 0.0, 0.0])
        self.assertEqual((out.iterations, out.status), (2, 1))
        self.assertEqual(solve_4d(desired, bounds, None, out), -1)

    def test_four_axis_invalid_input_is_the_box_clamp(self):
        desired = Float4(5, math.nan, -5, 0.5)
        bounds = Bounds4(Float4(-1, -1, -1, -1), Float4(1, 1, 1, 1))
        out = Solution4()
        self.assertEqual(solve_4d(desired, bounds, LinearConstraints4(0), out), 0)
        self.assertEqual(out.status, 0)
        self.assertEqual([out.x[0], out.x[2], out.x[3]], [1.0, -1.0, 0.5])
        self.assertTrue(math.isnan(out.x[1]))


if __name__ == "__main__":
    unittest.main()
