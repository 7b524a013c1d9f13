"""The argument binding and conversion rules that every class shares."""
import math
import unittest

import _kestrel
from support import FloatLike, HugeLenSequence, IndexLike, RaisingFloat, RaisingLenSequence


class Spy:
    """Records whether any conversion protocol touched it."""

    touched = False

    def __float__(self):
        Spy.touched = True
        return 0.0

    def __index__(self):
        Spy.touched = True
        return 0


def entry_points():
    """(name, callable, number of parameters, number required, parameter names) of every entry point."""
    governor = _kestrel.Governor(-1.0, 1.0)
    counter = _kestrel.MonotonicCounter()
    points = [
        ("Governor", _kestrel.Governor, ["min_bound", "max_bound"], 2),
        ("Governor.project", governor.project, ["u_desired"], 1),
        ("Governor.project_batch", governor.project_batch, ["u_vec"], 1),
        ("MonotonicCounter", _kestrel.MonotonicCounter, ["initial_value"], 0),
        ("MonotonicCounter.next_value", counter.next_value, [], 0),
        ("MonotonicCounter.current_value", counter.current_value, [], 0),
        ("KestrelViolation", _kestrel.KestrelViolation, ["axis", "violation_type", "message"], 0),
    ]
    if hasattr(_kestrel, "KestrelBoundary"):
        boundary = _kestrel.KestrelBoundary()
        receipt = boundary.authorize_action(0, 0.0, 0.0)
        points += [
            ("KestrelBoundary", _kestrel.KestrelBoundary,
             ["rate_limit", "max_velocity_rad_s", "monotonic_window_size", "hmac_key"], 0),
            ("KestrelBoundary.authorize_action", boundary.authorize_action,
             ["target_axis", "requested_position", "commanded_velocity"], 3),
            ("KestrelReceipt.verify", receipt.verify, ["key"], 1),
        ]
    return points


class BindingErrorTest(unittest.TestCase):
    """Binding errors are TypeErrors raised before any argument is converted."""

    def assert_binding_error(self, func, *args, **kwargs):
        Spy.touched = False
        with self.assertRaises(TypeError):
            func(*args, **kwargs)
        self.assertFalse(Spy.touched, "an argument was converted before the binding error")

    def test_every_entry_point(self):
        for name, func, params, required in entry_points():
            with self.subTest(name):
                self.assert_binding_error(func, *([Spy()] * (len(params) + 1)))
                self.assert_binding_error(func, unknown_keyword=Spy())
                if params:
                    self.assert_binding_error(func, Spy(), **{params[0]: Spy()})
                if required:
                    self.assert_binding_error(func, *([Spy()] * (required - 1)))


class FloatConversionTest(unittest.TestCase):
    def setUp(self):
        self.project = _kestrel.Governor(-math.inf, math.inf).project

    def test_accepted_values(self):
        cases = [
            (1e39, math.inf), (-1e39, -math.inf), (True, 1.0), (7, 7.0), (0.1, 0.10000000149011612),
            (FloatLike(2.5), 2.5), (IndexLike(3), 3.0), (-0.0, -0.0),
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                result = self.project(value)
                self.assertEqual(result, expected)
                self.assertEqual(math.copysign(1.0, result), math.copysign(1.0, expected))
        self.assertTrue(math.isnan(self.project(math.nan)))

    def test_int_too_large_is_overflow_without_prefix(self):
        with self.assertRaises(OverflowError) as caught:
            self.project(10**400)
        self.assertFalse(str(caught.exception).startswith("argument"))

    def test_type_errors_name_the_argument(self):
        for value in ["1.0", None, b"1", [1.0], object()]:
            with self.subTest(value=value):
                with self.assertRaisesRegex(TypeError, r"^argument 'u_desired': "):
                    self.project(value)

    def test_wrapping_keeps_the_cause_and_spares_other_exceptions(self):
        original = TypeError("inner")
        original.__cause__ = KeyError("root")
        with self.assertRaises(TypeError) as caught:
            self.project(RaisingFloat(original))
        self.assertEqual(str(caught.exception), "argument 'u_desired': inner")
        self.assertIs(type(caught.exception.__cause__), KeyError)

        class TypeErrorSubclass(TypeError):
            pass

        for exc in [ValueError("v"), TypeErrorSubclass("sub"), ZeroDivisionError("z")]:
            with self.subTest(type(exc).__name__):
                with self.assertRaises(type(exc)) as caught:
                    self.project(RaisingFloat(exc))
                self.assertIs(caught.exception, exc)


class IntegerConversionTest(unittest.TestCase):
    def test_signed_32_bit(self):
        violation = _kestrel.KestrelViolation
        self.assertEqual(violation(-2**31).axis, -2**31)
        self.assertEqual(violation(2**31 - 1).axis, 2**31 - 1)
        self.assertEqual(violation(IndexLike(-5)).axis, -5)
        self.assertEqual(violation(True).axis, 1)
        for value, message in [(2**31, "number too large to fit in target type"),
                               (-2**31 - 1, "number too small to fit in target type")]:
            with self.subTest(value=value):
                with self.assertRaises(OverflowError) as caught:
                    violation(value)
                self.assertEqual(str(caught.exception), message)
        with self.assertRaises(OverflowError):
            violation(2**70)
        for value in [2.0, "1", None]:
            with self.subTest(value=value):
                with self.assertRaisesRegex(TypeError, r"^argument 'axis': "):
                    violation(value)

    def test_unsigned_64_bit(self):
        counter = _kestrel.MonotonicCounter
        self.assertEqual(counter(2**64 - 1).current_value(), 2**64 - 1)
        self.assertEqual(counter(IndexLike(7)).current_value(), 7)
        for value in [-1, 2**64, IndexLike(-1)]:
            with self.subTest(value=value):
                with self.assertRaises(OverflowError) as caught:
                    counter(value)
                self.assertFalse(str(caught.exception).startswith("argument"))
        for value in [1.5, None, "3"]:
            with self.subTest(value=value):
                with self.assertRaisesRegex(TypeError, r"^argument 'initial_value': "):
                    counter(value)


class SequenceConversionTest(unittest.TestCase):
    def setUp(self):
        self.batch = _kestrel.Governor(-10.0, 10.0).project_batch

    def test_accepted_sequences(self):
        cases = [
            ([1.0, 2], [1.0, 2.0]), ((3.0, -20.0), [3.0, -10.0]), (range(3), [0.0, 1.0, 2.0]),
            (b"\x00\x05", [0.0, 5.0]), (RaisingLenSequence([1.5, 2.5]), [1.5, 2.5]),
            ([FloatLike(0.5), IndexLike(2)], [0.5, 2.0]), ([], []),
        ]
        for value, expected in cases:
            with self.subTest(value=value):
                self.assertEqual(self.batch(value), expected)

    def test_refused_sequences(self):
        cases = [
            ("12", "argument 'u_vec': Can't extract `str` to `Vec`"),
            ({1.0}, "argument 'u_vec': 'set' object cannot be converted to 'Sequence'"),
            ({1: 1.0}, "argument 'u_vec': 'dict' object cannot be converted to 'Sequence'"),
            ((x for x in [1.0]), "argument 'u_vec': 'generator' object cannot be converted to 'Sequence'"),
            (5.0, "argument 'u_vec': 'float' object cannot be converted to 'Sequence'"),
        ]
        for value, message in cases:
            with self.subTest(value=value):
                with self.assertRaises(TypeError) as caught:
                    self.batch(value)
                self.assertEqual(str(caught.exception), message)

    def test_element_errors(self):
        with self.assertRaisesRegex(TypeError, r"^argument 'u_vec': "):
            self.batch([0.5, "x"])
        with self.assertRaises(OverflowError):
            self.batch([0.5, 10**400])
        with self.assertRaises(ZeroDivisionError):
            self.batch([RaisingFloat(ZeroDivisionError())])

    def test_enormous_reported_length_does_not_stop_the_process(self):
        self.assertEqual(self.batch(HugeLenSequence([1.0, 2.0])), [1.0, 2.0])

    def test_elements_that_mutate_the_list_while_it_is_read(self):
        # Each element's conversion runs `action` on the list being read; the
        # walk follows the list as it is at every step.
        def shrink(items):
            del items[1:]

        def grow(items):
            if len(items) < 6:
                items.append(7.0)

        cases = [
            ("shrink", shrink, [None, 2.0, 3.0, 4.0], [0.5]),
            ("grow", grow, [None, 1.0], [0.5, 1.0, 7.0]),
            ("clear", list.clear, [None, None, 2.0], [0.5]),
        ]
        for name, action, template, expected in cases:
            with self.subTest(name):
                items = []

                class Mutator:
                    def __float__(self):
                        action(items)
                        return 0.5

                items[:] = [Mutator() if value is None else value for value in template]
                self.assertEqual(self.batch(items), expected)

if __name__ == "__main__":
    unittest.main()
