"""kestrel.JointLimiter, and the Watchdog and Monitor beside it on the actuator side: argument handling at
the Python edge and the behaviour it exposes."""
import array
import copy
import math
import pickle
import sys
import threading
import unittest

import kestrel
from kestrel import JointLimiter, JointLimits, Limit

try:
    import numpy as np
except ImportError:  # optional: 1-D float arrays are also covered by array.array
    np = None

ARM = JointLimits(min_position=-1.0, max_position=1.0, max_velocity=2.0, max_acceleration=10.0, max_jerk=1e4)


class LimitsTest(unittest.TestCase):
    def test_refused_limits(self):
        table = [
            (dict(max_velocity=math.nan), ValueError, "max_velocity must not be NaN"),
            (dict(min_position=1.0, max_position=1.0), ValueError, "min_position must be below"),
            (dict(min_position=math.inf), ValueError, "min_position must be below"),
            (dict(max_acceleration=0.0), ValueError, "max_acceleration must be > 0"),
            (dict(max_jerk=-1.0), ValueError, "max_jerk must be > 0"),
            (dict(max_velocity="1"), TypeError, "argument 'max_velocity': must be real number"),
        ]
        for kwargs, error, message in table:
            with self.subTest(kwargs=kwargs):
                with self.assertRaisesRegex(error, message):
                    JointLimits(**kwargs)

    def test_defaults_are_absent_limits_and_the_record_is_a_frozen_value(self):
        limits = JointLimits(max_velocity=1 if np is None else np.float32(1))
        self.assertEqual((limits.min_position, limits.max_velocity, limits.max_jerk), (-math.inf, 1.0, math.inf))
        with self.assertRaises(AttributeError):
            limits.max_velocity = 2.0
        self.assertEqual({limits, JointLimits(max_velocity=1.0), pickle.loads(pickle.dumps(limits))}, {limits})


class ConstructionTest(unittest.TestCase):
    def test_refused_arguments(self):
        table = [
            ((ARM, 0.001), TypeError, r"use \[limits\] \* n"),
            (([], 0.001), ValueError, "1 to 32 joints"),
            (([ARM] * 33, 0.001), ValueError, "1 to 32 joints"),
            (([ARM, "arm"], 0.001), TypeError, "must hold JointLimits"),
            (([ARM], 0.0), ValueError, "period must be finite and > 0"),
            (([ARM], math.nan), ValueError, "period must be finite and > 0"),
            (([ARM], "0.001"), TypeError, "argument 'period': must be real number"),
            (([ARM, ARM], 0.001, [0.0, 1.5]), ValueError,
             r"^joint 1: a position is not finite or outside its joint's limits: position 1.5, limits \[-1.0, 1.0\]$"),
            (([ARM, JointLimits(max_jerk=1e-300)], 1e-5), ValueError, r"^joint 1: max_jerk \* period\^2 is below DBL_MIN$"),
            (([JointLimits(min_position=0.5, max_position=1.0)], 0.001), ValueError, "outside"),
            (([ARM], 0.001, [0.0, 0.0]), ValueError, "positions must hold 1 values"),
        ]
        for args, error, message in table:
            with self.subTest(args=args):
                with self.assertRaisesRegex(error, message):
                    JointLimiter(*args)


class LimitTest(unittest.TestCase):
    def test_accepts_lists_tuples_and_float_arrays_alike(self):
        inputs = [[5.0, -5.0, 0.05], (5.0, -5.0, 0.05), array.array("d", [5.0, -5.0, 0.05])]
        if np is not None:
            inputs.append(np.array([5.0, -5.0, 0.05]))
        for desired in inputs:
            with self.subTest(kind=type(desired).__name__):
                limiter = JointLimiter([ARM] * 3, 0.01)
                # max_acceleration * dt = 0.1 per call.
                self.assertEqual(limiter.limit(desired), [0.1, -0.1, 0.05])
                self.assertEqual(limiter.binding, (Limit.ACCELERATION, Limit.ACCELERATION, Limit(0)))
                self.assertEqual(" ".join(map(str, limiter.binding)), "ACCELERATION ACCELERATION NONE")

    def test_refused_desired(self):
        limiter = JointLimiter([ARM] * 2, 0.01)
        table = [([1.0], ValueError, "desired must hold 2 values, not 1"), (["a", "b"], TypeError, "real number"),
                 (3.0, TypeError, "argument 'desired'"), (b"ab", TypeError, "not a vector of numbers"),
                 (memoryview(b"ab"), TypeError, "not a vector of numbers")]
        if np is not None:
            table.append((np.zeros((2, 2)), TypeError, "argument 'desired'"))
        for desired, error, message in table:
            with self.subTest(desired=desired):
                with self.assertRaisesRegex(error, message):
                    limiter.limit(desired)
        self.assertEqual(limiter.velocities, (0.0, 0.0))  # nothing moved

    def test_state_follows_the_commands(self):
        limiter = JointLimiter([ARM], 0.01, positions=[0.5])
        for expected in (0.1, 0.2, 0.3):
            self.assertAlmostEqual(limiter.limit([3.0])[0], expected, places=12)
        self.assertAlmostEqual(limiter.positions[0], 0.5 + 0.01 * (0.1 + 0.2 + 0.3), places=12)
        self.assertAlmostEqual(limiter.velocities[0], 0.3, places=12)
        self.assertAlmostEqual(limiter.accelerations[0], 10.0, places=9)
        for name in ("positions", "velocities", "accelerations", "binding", "recovering"):
            with self.subTest(name=name), self.assertRaises(AttributeError):
                setattr(limiter, name, ())

    def test_stop_request_reset_and_braking(self):
        limiter = JointLimiter([ARM], 0.01)
        self.assertEqual(limiter.limit([math.nan]), [0.0])
        self.assertEqual(limiter.binding, (Limit.STOP_REQUEST,))
        self.assertEqual([str(Limit.STOP_REQUEST), f"{Limit.JERK | Limit.BRAKING}"], ["STOP_REQUEST", "BRAKING|JERK"])
        with self.assertRaisesRegex(ValueError, "outside its joint's limits"):
            limiter.reset([2.0])
        with self.assertRaisesRegex(ValueError, "velocity is not finite"):
            limiter.reset([0.0], [math.inf])
        with self.assertRaisesRegex(IndexError, "joint 1 is not below the limiter's 1 joints"):
            limiter.reset_joint(1, 0.0)
        # Close to the upper limit and fast: braking must cut in and
        # acceleration give way, as the state was not the limiter's own.
        limiter.reset([0.999], [2.0])
        self.assertEqual((limiter.velocities, limiter.accelerations, limiter.recovering), ((2.0,), (0.0,), (True,)))
        self.assertLess(limiter.limit([2.0])[0], 1.9)
        self.assertIn(Limit.ACCELERATION_YIELDED, limiter.binding[0])
        self.assertIn(Limit.BRAKING, limiter.binding[0])
        limiter.limit([2.0])
        self.assertEqual(limiter.recovering, (False,), "back inside two periods after the reset")

    def test_limit_position_returns_positions_and_stops_at_rest_on_the_target_or_the_limit(self):
        limiter = JointLimiter([ARM] * 2, 0.01)
        for _ in range(200):
            commanded = limiter.limit_position(array.array("d", [0.5, 5.0]))
        self.assertEqual(commanded, list(limiter.positions))
        self.assertEqual([round(p, 9) for p in commanded] + list(limiter.velocities), [0.5, 1.0, 0.0, 0.0])
        self.assertIn(Limit.POSITION, limiter.binding[1], "held at its position limit")

    def test_arrival_lands_without_overshoot_unless_switched_off(self):
        peaks = []
        for pure in (False, True):
            limiter = JointLimiter([JointLimits(max_velocity=2.0, max_acceleration=15.0, max_jerk=7500.0)], 0.001)
            limiter.set_pure_tracking(pure)
            peaks.append(max(limiter.limit([1.0])[0] for _ in range(500)))
        self.assertEqual(peaks[0], 1.0)
        self.assertGreater(peaks[1], 1.0)
        with self.assertRaises(TypeError):
            limiter.set_pure_tracking(1)

    def test_coupling_reports_the_solver_status(self):
        limiter = JointLimiter([JointLimits(max_velocity=5.0)] * 2, 0.01)
        self.assertIsNone(limiter.coupling_status)
        limiter.set_coupling([[1.0, 1.0, 0.0, 0.0]], [1.0])
        self.assertEqual(limiter.limit([2.0, 2.0]), [0.5, 0.5])
        self.assertIs(limiter.coupling_status, kestrel.SolveStatus.OPTIMAL)
        self.assertEqual(limiter.binding, (Limit.COUPLING, Limit.COUPLING))
        with self.assertRaisesRegex(ValueError, "at most 4 rows"):
            limiter.set_coupling([[1.0, 0.0, 0.0, 0.0]] * 5, [1.0] * 5)
        limiter.set_coupling([], [])
        self.assertIsNone(limiter.coupling_status)


class WatchdogTest(unittest.TestCase):
    def test_expiry_stops_the_joint_within_its_limits_through_nan_requests(self):
        clock = kestrel.SimulatedClock()
        watchdog = kestrel.Watchdog(0.05, clock=clock)
        limiter = JointLimiter([ARM], 0.001)
        for period in range(3000):  # fed for 0.3 s at 1.5 rad/s towards 0.75 rad, then silence
            if period < 300:
                watchdog.feed()
            limiter.limit([math.nan if watchdog.expired else 1.5])
            clock.advance_ns(1_000_000)
            self.assertEqual(watchdog.expired, period >= 348, period)
            self.assertLessEqual(abs(limiter.velocities[0]), ARM.max_velocity)
            self.assertLessEqual(abs(limiter.accelerations[0]), ARM.max_acceleration + 1e-9)
        self.assertEqual(limiter.velocities, (0.0,))
        self.assertLess(abs(limiter.positions[0]), ARM.max_position)
        watchdog.feed()
        self.assertFalse(watchdog.expired, "a feed after expiry clears it")

    def test_refused_timeouts_and_clocks(self):
        for timeout in (0, -1.0, math.nan, math.inf):
            with self.subTest(timeout=timeout), self.assertRaisesRegex(ValueError, "timeout must be"):
                kestrel.Watchdog(timeout)
        with self.assertRaises(TypeError):
            kestrel.Watchdog(1.0, kestrel.SimulatedClock())  # the clock goes by name
        self.assertFalse(kestrel.Watchdog(3600).expired, "the wall clock")


class MonitorTest(unittest.TestCase):
    LIMITS = {"shoulder": ARM, "elbow": JointLimits(-2.0, 2.0, 1.0, 4.0, 400.0)}

    def run_loop(self, monitor, clock, limiter, desired, periods, positions=False):
        """The limiter's commands, taken as the measurement; the states the monitor answers."""
        states = set()
        for _ in range(periods):
            (limiter.limit_position if positions else limiter.limit)(desired)
            clock.advance_ns(1_000_000)
            states.add(monitor.check(limiter.positions, limiter.velocities))
        return states

    def test_the_limiters_motion_trips_nothing_and_a_half_rate_stop_is_cut_off(self):
        for stop, end in (("ss1", kestrel.MonitorState.TORQUE_OFF), ("ss2", kestrel.MonitorState.STANDSTILL)):
            with self.subTest(stop=stop):
                clock = kestrel.SimulatedClock(10**18)
                monitor = kestrel.Monitor(self.LIMITS, clock=clock, velocity_tolerance=0.05, stop=stop)
                limiter = JointLimiter(list(self.LIMITS.values()), 0.001)
                states = self.run_loop(monitor, clock, limiter, [1.9, -0.8], 800)
                states |= self.run_loop(monitor, clock, limiter, [5.0, -5.0], 1500, positions=True)
                states |= self.run_loop(monitor, clock, limiter, [-1.0, math.nan], 600)
                self.assertEqual(states, {kestrel.MonitorState.RUN}, monitor.trip)
                monitor.request_stop()
                self.assertEqual(self.run_loop(monitor, clock, limiter, [math.nan] * 2, 1000),
                                 {kestrel.MonitorState.STOPPING, end})
                self.assertEqual(monitor.last_trip.function, "request")
                self.assertTrue(monitor.acknowledge())
                self.assertEqual((monitor.state, monitor.trip), (kestrel.MonitorState.RUN, None))
                self.run_loop(monitor, clock, limiter, [0.5, 0.25], 500)
                # The same stop by a plant with half the deceleration and jerk.
                half = JointLimiter([JointLimits(l.min_position, l.max_position, l.max_velocity,
                                                 l.max_acceleration / 2, l.max_jerk / 2)
                                     for l in self.LIMITS.values()], 0.001, limiter.positions)
                half.reset(limiter.positions, limiter.velocities)
                monitor.request_stop()
                while monitor.state == kestrel.MonitorState.STOPPING:
                    self.run_loop(monitor, clock, half, [math.nan] * 2, 1)
                self.assertEqual(monitor.state, kestrel.MonitorState.TORQUE_OFF)
                self.assertEqual(monitor.last_trip.function, stop.upper())
                self.assertFalse(monitor.acknowledge(), "torque off while still moving")
                self.assertEqual(monitor.refusal.function, "SOS")

    def test_trips_record_function_joint_value_and_time(self):
        clock = kestrel.SimulatedClock(10**18)
        monitor = kestrel.Monitor([ARM] * 3, clock=clock)
        for _ in range(2):
            clock.advance(0.001)
            monitor.check([0.0] * 3, [0.0] * 3)
        clock.advance(0.001)
        self.assertEqual(monitor.check([0.0, math.nan, 0.0], [0.0] * 3), kestrel.MonitorState.STOPPING)
        trip = monitor.trip
        self.assertEqual((trip.function, trip.joint, trip.time_ns), ("measurement", 1, clock.now_ns))
        self.assertTrue(math.isnan(trip.value))
        self.assertFalse(monitor.acknowledge())
        self.assertEqual(monitor.refusal.function, "SS1")

    def test_refused_arguments(self):
        monitor = kestrel.Monitor([ARM] * 2)
        cases = [
            (lambda: kestrel.Monitor([ARM], stop="ss3"), ValueError, "argument 'stop'"),
            (lambda: kestrel.Monitor([ARM], standstill_velocity=0.0), ValueError, "standstill_velocity must be"),
            (lambda: kestrel.Monitor([ARM], position_tolerance=math.nan), ValueError, "position_tolerance must be"),
            (lambda: kestrel.Monitor([ARM, JointLimits(-1, 1, 1.0)]), ValueError,
             "joint 1: max_acceleration must be finite"),
            (lambda: kestrel.Monitor([ARM], 0.1), TypeError, "positional"),
            (lambda: kestrel.Monitor(ARM), TypeError, "argument 'limits'"),
            (lambda: monitor.check([0.0], [0.0, 0.0]), ValueError, "positions must hold 2 values"),
            (lambda: monitor.check([0.0] * 2, [0.0] * 3), ValueError, "velocities must hold 2 values"),
        ]
        for call, error, message in cases:
            with self.subTest(message=message), self.assertRaisesRegex(error, message):
                call()


class SharingTest(unittest.TestCase):
    def test_two_threads_on_one_limiter(self):
        # Limits of +-0.5 and requests pushing both ways: each call must see the state the last one left.
        limiter = JointLimiter([JointLimits(min_position=-0.5, max_position=0.5)] * 5, 0.01)
        commanded = [[], []]
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        self.addCleanup(sys.setswitchinterval, interval)

        def run(sign):
            for _ in range(2000):
                commanded[sign > 0].append(limiter.limit([sign * 100.0] * 5))
        threads = [threading.Thread(target=run, args=(sign,)) for sign in (1.0, -1.0)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        moved = [0.01 * math.fsum(v[j] for v in commanded[0] + commanded[1]) for j in range(5)]
        for j, position in enumerate(limiter.positions):
            self.assertAlmostEqual(moved[j], position, places=9)
            self.assertLessEqual(abs(moved[j]), 0.5 + 1e-9)

    def test_a_copy_is_an_independent_limiter(self):
        limiter = JointLimiter([ARM] * 2, 0.01)
        limiter.limit([1.0, -1.0])
        rollout = copy.deepcopy(limiter)
        self.assertEqual((rollout.positions, rollout.velocities), (limiter.positions, limiter.velocities))
        self.assertEqual(rollout.limit([5.0, 5.0]), limiter.limit([5.0, 5.0]))
        rollout.limit([5.0, 5.0])
        self.assertNotEqual(copy.copy(rollout).positions, limiter.positions)


if __name__ == "__main__":
    unittest.main()
