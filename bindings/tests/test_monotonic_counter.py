import threading
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

    def test_threads_receive_distinct_values(self):
        counter = MonotonicCounter()
        results = [[] for _ in range(4)]

        def take(out):
            for _ in range(1000):
                out.append(counter.next_value())

        threads = [threading.Thread(target=take, args=(out,)) for out in results]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        values = sorted(v for out in results for v in out)
        self.assertEqual(values, list(range(1, 4001)))
        self.assertEqual(counter.current_value(), 4000)


if __name__ == "__main__":
    unittest.main()
