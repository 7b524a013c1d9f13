import unittest

import _kestrel
from support import IndexLike

MonotonicCounter = _kestrel.MonotonicCounter


class CounterTest(unittest.TestCase):
    def test_counts_from_the_initial_value(self):
        counter = MonotonicCounter()
        self.assertEqual(counter.current_value(), 0)
        self.assertEqual([counter.next_value(), counter.next_value()], [1, 2])
        self.assertEqual(counter.current_value(), 2)
        for initial in [41, IndexLike(41)]:
            with self.subTest(initial=initial):
                self.assertEqual(MonotonicCounter(initial).next_value(), 42)
        self.assertEqual(MonotonicCounter(initial_value=41).next_value(), 42)
        self.assertEqual(MonotonicCounter(True).current_value(), 1)

    def test_wraps_at_the_top(self):
        counter = MonotonicCounter(2**64 - 1)
        self.assertEqual(counter.current_value(), 2**64 - 1)
        self.assertEqual(counter.next_value(), 0)
        self.assertEqual(counter.current_value(), 0)
        self.assertEqual(counter.next_value(), 1)

    def test_refused_initial_values(self):
        for value, exc in [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), (None, TypeError)]:
            with self.subTest(value=value):
                with self.assertRaises(exc):
                    MonotonicCounter(value)


if __name__ == "__main__":
    unittest.main()
