import array
import math
import struct
import unittest

import _kestrel
from support import f32

try:
    import numpy
except ImportError:  # the numpy rows are skipped
    numpy = None

Governor = _kestrel.Governor


def same(a, b):
    """Equal values with equal signs of zero, or both NaN."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


class ConstructionTest(unittest.TestCase):
    def test_accepted_envelopes(self):
        # The envelope is the one given, narrowed to single precision (-1e39 to -inf): the farthest
        # commands either way are projected onto its bounds.
        for args, kwargs, bounds in [((0, 1), {}, (0.0, 1.0)), ((), {"min_bound": -1.0, "max_bound": 1.0}, (-1.0, 1.0)),
                                     ((1.0, 1.0000001), {}, (1.0, f32(1.0000001))), ((-1e39, 0), {}, (-math.inf, 0.0)),
                                     ((-math.inf, math.inf), {}, (-math.inf, math.inf))]:
            with self.subTest(args=args, kwargs=kwargs):
                governor = Governor(*args, **kwargs)
                self.assertEqual((governor.project(-math.inf), governor.project(math.inf)), bounds)

    def test_refused_envelopes(self):
        nan = float("nan")
        for args in [(1, 1), (2, 1), (nan, 1), (0, nan), (1.0, 1.00000001), (1e39, 2e39)]:
            with self.subTest(args=args):
                with self.assertRaises(ValueError) as caught:
                    Governor(*args)
                self.assertEqual(str(caught.exception), "min_bound must be strictly less than max_bound")

    def test_bad_min_bound_is_reported_first(self):
        with self.assertRaisesRegex(TypeError, r"^argument 'min_bound': "):
            Governor("a", "b")
        with self.assertRaisesRegex(TypeError, r"^argument 'max_bound': "):
            Governor(1, "x")
        with self.assertRaises(OverflowError):
            Governor(0, 10**400)

    def test_has_no_visible_state(self):
        governor = Governor(-1, 1)
        self.assertFalse(any(not name.startswith("__") for name in dir(governor)
                             if name not in ("project", "project_batch")))


class ProjectTest(unittest.TestCase):
    def setUp(self):
        self.governor = Governor(-1, 1)

    def test_projection_table(self):
        cases = [
            (2.5, 1.0), (-0.3, -0.30000001192092896), (float("inf"), 1.0), (float("-inf"), -1.0), (True, 1.0),
            (-0.0, -0.0), (0.0, 0.0), (1.0, 1.0), (-1.0000001, -1.0), (0.1, 0.10000000149011612),
            (float("nan"), float("nan")),
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertTrue(same(self.governor.project(value), expected))
                self.assertTrue(same(self.governor.project(u_desired=value), expected))

    def test_bounds_are_the_narrowed_values(self):
        governor = Governor(-0.1, 0.3)
        self.assertEqual(governor.project(-5), f32(-0.1))
        self.assertEqual(governor.project(5), f32(0.3))

    def test_infinite_bounds(self):
        governor = Governor(-1e39, 0)
        self.assertEqual(governor.project(-1e300), float("-inf"))
        self.assertEqual(governor.project(float("-inf")), float("-inf"))
        self.assertEqual(governor.project(3), 0.0)

    def test_overflowing_int(self):
        with self.assertRaises(OverflowError):
            self.governor.project(10**400)

    def test_results_are_floats(self):
        for value in [0.5, 2, 5.0, -7]:
            with self.subTest(value=value):
                self.assertIs(type(self.governor.project(value)), float)


class ProjectBatchTest(unittest.TestCase):
    def setUp(self):
        self.governor = Governor(-1, 1)

    def test_batch_matches_single_projection(self):
        values = [2.5, -3, 0.5, -0.0, float("inf"), float("-inf"), 0.1, -0.3, 1e39, True, 7, -1e-45, 1e-46]
        expected = [self.governor.project(v) for v in values]
        for container in (list, tuple):
            with self.subTest(container=container.__name__):
                result = self.governor.project_batch(container(values))
                self.assertEqual(len(result), len(values))
                for got, want in zip(result, expected):
                    self.assertTrue(same(got, want), (got, want))
                self.assertTrue(all(type(x) is float for x in result))

    def test_spec_examples(self):
        self.assertEqual(self.governor.project_batch([2.5, -3, 0.5]), [1.0, -1.0, 0.5])
        self.assertEqual(self.governor.project_batch(()), [])
        self.assertEqual(self.governor.project_batch(range(3)), [0.0, 1.0, 1.0])
        self.assertEqual(self.governor.project_batch(b"\x00\x05"), [0.0, 1.0])
        self.assertEqual(self.governor.project_batch(u_vec=[0.25]), [0.25])

    def test_nan_elements(self):
        result = self.governor.project_batch([float("nan"), 0.5])
        self.assertTrue(math.isnan(result[0]))
        self.assertEqual(result[1], 0.5)

    def test_failure_returns_nothing_and_leaves_the_input_alone(self):
        values = [0.5, 2.0, "x"]
        with self.assertRaisesRegex(TypeError, r"^argument 'u_vec': "):
            self.governor.project_batch(values)
        self.assertEqual(values, [0.5, 2.0, "x"])

    def test_large_batch(self):
        values = [(i % 2001 - 1000) / 500.0 for i in range(100_000)]
        result = self.governor.project_batch(values)
        self.assertEqual(result, [max(-1.0, min(1.0, f32(v))) for v in values])


def bits(values):
    return [struct.pack("<d", v) for v in values]


class BufferBatchTest(unittest.TestCase):
    """1-D buffers of native 'd' and 'f' are read directly; the result must equal, bit for bit, what
    the element-by-element walk gives for the same elements."""

    # NaN with a payload, infinities, signed zeros, subnormals of both widths, values beyond the
    # 32-bit range, values at and beside the bounds.
    SPECIAL = [float("nan"), struct.unpack("<d", b"\x01\x00\x00\x00\x00\x00\xf8\x7f")[0], -float("nan"),
               float("inf"), -float("inf"), 0.0, -0.0, 5e-324, -5e-324, 1e-45, -1.4e-45, 1.1754942e-38, 1e39,
               -3.5e38, 3.4028235e38, 1.0, -1.0, 1.0000001, -0.99999994, 0.1, -0.3, 2.5, 7.0]
    # A signalling 32-bit NaN, only representable in a 'f' buffer.
    SNAN_F32 = b"\x01\x00\xa0\x7f"

    def sources(self):
        doubles = array.array("d", self.SPECIAL)
        floats = array.array("f", self.SPECIAL)
        floats_with_snan = array.array("f", floats.tobytes() + self.SNAN_F32)
        rows = [
            ("array d", doubles), ("array f", floats), ("array f, signalling NaN", floats_with_snan),
            ("memoryview d, step 2", memoryview(doubles)[::2]), ("memoryview f, reversed", memoryview(floats)[::-1]),
            ("memoryview cast to d", memoryview(doubles.tobytes()).cast("d")), ("empty", array.array("d")),
        ]
        if numpy is not None:
            wide = numpy.array(self.SPECIAL * 3, dtype=numpy.float64)
            rows += [("numpy float64", wide), ("numpy float32", wide.astype(numpy.float32)),
                     ("numpy float64, step 3", wide[1::3]), ("numpy float32, step -2", wide.astype(numpy.float32)[::-2]),
                     ("numpy column of 2-D", wide.reshape(-1, 3)[:, 1])]
        return rows

    def test_buffer_path_matches_the_walk(self):
        for governor in (Governor(-1, 1), Governor(-math.inf, math.inf), Governor(-1e39, 0.25)):
            for name, source in self.sources():
                with self.subTest(source=name):
                    walked = governor.project_batch(list(source))
                    direct = governor.project_batch(source)
                    self.assertIs(type(direct), list)
                    self.assertEqual(bits(direct), bits(walked))
                    self.assertEqual(bits(direct), bits(governor.project(v) for v in source))

    def test_other_buffers_keep_the_walk(self):
        governor = Governor(-1, 1)
        self.assertEqual(governor.project_batch(array.array("i", [-5, 0, 5])), [-1.0, 0.0, 1.0])
        self.assertEqual(governor.project_batch(bytearray(b"\x00\x05")), [0.0, 1.0])
        class Doubling(array.array):  # a Python class: its own iteration decides the values
            def __iter__(self):
                return (2 * v for v in super().__iter__())
        self.assertEqual(governor.project_batch(Doubling("d", [0.25, 0.75])), [0.5, 1.0])
        if numpy is not None:
            class HalvingArray(numpy.ndarray):  # ndarray iterates through __getitem__
                def __getitem__(self, i):
                    return numpy.ndarray.__getitem__(self, i) / 2
            self.assertEqual(governor.project_batch(numpy.array([0.5, 3.0]).view(HalvingArray)), [0.25, 1.0])
        two_d = memoryview(array.array("d", [0.5] * 4)).cast("B").cast("d", (2, 2))
        with self.assertRaises(NotImplementedError):  # what iterating a 2-D memoryview raises
            governor.project_batch(two_d)


if __name__ == "__main__":
    unittest.main()
