"""Many Python threads sharing one boundary, one counter and one governor."""
import sys
import threading
import time
import unittest

import _kestrel
from support import f32

KEY = bytes(range(32))
THREADS = 8
ROUNDS = 320  # a multiple of 8: the refusal pattern repeats every 8 calls
RATE_LIMIT = 1000


class SharedObjectsTest(unittest.TestCase):
    def setUp(self):
        # Switch threads as often as the interpreter allows, so that the calls
        # interleave as finely as the interpreter lock lets them.
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        self.addCleanup(sys.setswitchinterval, interval)

    def run_threads(self, worker):
        barrier = threading.Barrier(THREADS)
        errors = []

        def run(index):
            try:
                barrier.wait()
                worker(index)
            except BaseException as exc:  # reported below, never lost in the thread
                errors.append(exc)

        threads = [threading.Thread(target=run, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(errors, [])

    def test_authorize_count_and_project_at_once(self):
        before = time.time_ns()  # the first rate window opens at or after this reading
        boundary = _kestrel.KestrelBoundary(rate_limit=RATE_LIMIT, hmac_key=KEY)
        counter = _kestrel.MonotonicCounter()
        governor = _kestrel.Governor(-1.0, 1.0)
        batch = [i / 7.0 - 2.0 for i in range(29)]
        projected = [f32(min(max(u, -1.0), 1.0)) for u in batch]
        receipts = [[] for _ in range(THREADS)]
        refusals = [[] for _ in range(THREADS)]
        counted = [[] for _ in range(THREADS)]

        def worker(index):
            for i in range(ROUNDS):
                # Every fourth call is refused for velocity or its argument;
                # neither may cost a sequence id.
                velocity = 9.0 if i % 8 == 3 else 0.5
                axis = 2**31 if i % 8 == 7 else index
                try:
                    receipts[index].append(boundary.authorize_action(axis, float(i), velocity))
                except _kestrel.KestrelViolation as exc:
                    refusals[index].append(exc.violation_type)
                except OverflowError:
                    refusals[index].append("argument")
                counted[index].append(counter.next_value())
                if i % 16 == 0:
                    self.assertEqual(governor.project_batch(batch), projected)
        self.run_threads(worker)

        calls = THREADS * ROUNDS
        all_receipts = [r for per_thread in receipts for r in per_thread]
        all_refusals = [v for per_thread in refusals for v in per_thread]
        self.assertEqual(len(all_receipts) + len(all_refusals), calls)
        self.assertEqual(all_refusals.count("velocity_exceeded"), calls // 8)
        self.assertEqual(all_refusals.count("argument"), calls // 8)
        self.assertLessEqual(set(all_refusals), {"velocity_exceeded", "argument", "rate_limited"})

        # Sequence ids: every receipt its own, none skipped, in the order of
        # the clock readings taken under the same lock.
        ordered = sorted(all_receipts, key=lambda r: r.sequence_id)
        self.assertEqual([r.sequence_id for r in ordered], list(range(1, len(ordered) + 1)))
        stamps = [r.timestamp_nanos for r in ordered]
        self.assertEqual(stamps, sorted(stamps))
        for per_thread in receipts:
            ids = [r.sequence_id for r in per_thread]
            self.assertEqual(ids, sorted(ids))
        self.assertTrue(all(r.verify(KEY) for r in all_receipts))
        self.assertEqual(len({r.receipt_hash[:12] for r in all_receipts}), len(all_receipts))

        # The rate window, however the calls fall on the clock: receipts
        # stamped within a second of `before` all belong to the first window,
        # which admits at most RATE_LIMIT; and the first RATE_LIMIT calls that
        # pass the velocity check are admitted, in the first window or in the
        # one they open. A run shorter than a second meets both bounds exactly.
        counted_calls = calls - calls // 4
        first_window = [r for r in all_receipts if r.timestamp_nanos - before < 10**9]
        self.assertLessEqual(len(first_window), RATE_LIMIT)
        self.assertGreaterEqual(len(all_receipts), min(RATE_LIMIT, counted_calls))

        # The counter: every value handed out once, none lost.
        values = sorted(v for per_thread in counted for v in per_thread)
        self.assertEqual(values, list(range(1, calls + 1)))
        self.assertEqual(counter.current_value(), calls)
        for per_thread in counted:
            self.assertEqual(per_thread, sorted(per_thread))

    def test_batch_over_a_list_that_other_threads_change(self):
        # Elements give the interpreter lock away while they are converted,
        # and other threads shrink, grow and refill the very list being read.
        governor = _kestrel.Governor(-1.0, 1.0)
        items = []

        class Yielding:
            def __float__(self):
                time.sleep(0)
                return 0.5

        def refill():
            items[:] = [Yielding() if i % 2 else 3.0 for i in range(12)]

        refill()
        deadline = time.monotonic() + 0.5

        def worker(index):
            while time.monotonic() < deadline:
                if index == 0:
                    refill()
                elif index == 1:
                    del items[len(items) // 2:]
                elif index == 2:
                    items.append(Yielding())
                else:
                    result = governor.project_batch(items)
                    self.assertTrue(all(type(x) is float and x in (0.5, 1.0) for x in result), result)

        self.run_threads(worker)


if __name__ == "__main__":
    unittest.main()
