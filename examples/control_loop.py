"""A seven-joint arm at 1 kHz behind the Kestrel safety layer, in simulated time.

The loop runs on a kestrel.SimulatedClock, advanced 1 ms a period: the
boundary's rate window and timestamps and the in-process guard's maximum age
follow it, so 3 simulated seconds take well under one of the wall clock.

Every 1 ms period, for every joint (arm.py has the joints and the controller):

1. the controller asks for a velocity;
2. a JointLimiter keeps it within the joint's datasheet limits (position,
   velocity, acceleration, jerk, and still able to brake before a position
   limit);
3. a Governor clamps it into the cell's speed envelope, which is narrower
   than the fast wrist joints' datasheet velocity;
4. a kestrel.Boundary, with rate_limit sized for seven axes, authorizes and
   signs it; a few commands are corrupted on the way (CORRUPTED) and refused;
5. the actuator side (receiving_side.py) checks every receipt before the
   joint moves: a ReceiptGuard in this process, or with --receiver the C
   frame receiver, sent signed command frames over loopback UDP. One frame
   is delivered twice (REPLAYED), which it refuses. Where the boundary
   refused, the actuator holds its last command.

Where the Governor clamps or the boundary refuses, the joint does something
other than the limiter planned, so that joint's limiter is reset to what the
joint really does. The run announces the faults it injects, checks its own
results, prints a summary that says what each figure means, and ends with
one line: the self-check passed, or (exit status 1) what failed.

--plot FILE draws the wrist (joint 5) with matplotlib, PNG or SVG by the
file's extension; --plot FILE --joints 3,5 draws each joint listed into a
file of its own, FILE's name with _jointN before the extension
(arm_joint3.png, arm_joint5.png). --log FILE writes every
action the boundary authorized or refused to a receipt log that `python3 -m kestrel verify-log
--key-file KEY FILE` checks; --key-file KEY names the 32-byte boundary key,
created (owner-only) if absent.
"""
import argparse
import collections
import math
import os
import pathlib
import struct
import sys
import tempfile
import time

import kestrel
from kestrel.receipt_log import read_key_file

import arm
import receiving_side

BOUNDARY_LIMIT = 2.2  # rad/s: the cell's speed limit, which the boundary signs off
RATE = round(1 / arm.PERIOD)  # commands per second and joint
# The boundary counts the calls of all axes together: seven joints at 1 kHz
# make 7000 a second, and the default (1000) would refuse six in seven.
RATE_LIMIT = int(arm.JOINTS * RATE * 1.1)
# Commands corrupted between the Governor and the boundary: (step, joint) -> velocity.
CORRUPTED = {(700, 5): 9.5, (1650, 2): -7.0, (2600, 5): math.nan}
STEPS = round(arm.DURATION / arm.PERIOD)
PERIOD_NS = round(arm.PERIOD * 1e9)
REPLAYED = (1200, 0)  # (step, joint) whose command reaches the actuator side twice


def float32_at_most(x):
    """The largest 32-bit float <= x (for x > 0)."""
    bits = struct.unpack("<I", struct.pack("<f", x))[0]
    if struct.unpack("<f", struct.pack("<I", bits))[0] > x:
        bits -= 1
    return struct.unpack("<f", struct.pack("<I", bits))[0]


# The Governor rounds to single precision: an envelope of +-2.2 itself would
# clamp to 2.2000000477, which the boundary refuses.
ENVELOPE = float32_at_most(BOUNDARY_LIMIT)


class Sample(collections.namedtuple("Sample", "desired limited velocity position binding clamped refused")):
    """One joint in one period: the controller's request, the limiter's result, the velocity the
    joint really moved at and where that took it, the limiter's Limit flags, whether the
    Governor clamped, and the command the boundary refused (None if none)."""

    def bound(self, flag):
        """Whether the limiter's `flag` shaped what the joint did: where the Governor clamped or
        the boundary refused, the joint did not move as the limiter planned."""
        return flag in self.binding and not self.clamped and self.refused is None


def run(key, log, actuator, clock):
    """Drive the arm for STEPS periods on `clock`; the samples of every joint, and what the boundary refused."""
    # One limiter per joint, so that one joint can be reset alone.
    limiters = [kestrel.JointLimiter([limits], arm.PERIOD, [home]) for limits, home in zip(arm.LIMITS, arm.HOME)]
    governor = kestrel.Governor(-ENVELOPE, ENVELOPE)
    # The boundaries count their rate windows and stamp their receipts on the
    # simulated clock, so the loop runs as fast as the machine can.
    boundary = kestrel.Boundary(key, rate_limit=RATE_LIMIT, max_velocity_rad_s=BOUNDARY_LIMIT, clock=clock)
    # The same commands through a boundary left at the default rate_limit, only to count its refusals.
    default_rate = kestrel.Boundary(key, max_velocity_rad_s=BOUNDARY_LIMIT, clock=clock)
    positions, velocities = list(arm.HOME), [0.0] * arm.JOINTS
    samples = [[] for _ in range(arm.JOINTS)]
    refused, default_refused, sequence_ids = collections.Counter(), 0, []
    for step in range(STEPS):
        if step:
            clock.advance_ns(PERIOD_NS)
        desired = arm.desired_velocities(step * arm.PERIOD, positions)
        limited = [limiter.limit([want])[0] for limiter, want in zip(limiters, desired)]
        binding = [limiter.binding[0] for limiter in limiters]
        governed = governor.project_batch(limited)
        for joint in range(arm.JOINTS):
            command = CORRUPTED.get((step, joint), governed[joint])
            target = positions[joint] + command * arm.PERIOD
            rejected = None
            try:
                receipt = boundary.authorize_action(joint, target, command)
            except kestrel.KestrelViolation as refusal:
                refused[refusal.violation_type] += 1
                if log:
                    log.record_refusal(refusal, target, command)
                rejected, command = command, velocities[joint]  # the actuator holds its last command
                target = positions[joint] + command * arm.PERIOD
            else:
                for _ in range(2 if (step, joint) == REPLAYED else 1):
                    actuator.deliver(joint, target, command, receipt.receipt_hash)
                sequence_ids.append(receipt.sequence_id)
                if log:
                    log.record(joint, target, command, receipt)
            try:
                default_rate.authorize_action(joint, target, command)
            except kestrel.KestrelViolation:
                default_refused += 1
            clamped = abs(limited[joint]) > ENVELOPE
            if clamped or rejected is not None:
                # What the joint really does. The Governor's single-precision
                # rounding (up to 1.2e-7 of a command) can leave a joint at its
                # limit a few nanoradians beyond, where reset refuses it.
                limits = arm.LIMITS[joint]
                limiters[joint].reset([min(max(target, limits.min_position), limits.max_position)], [command])
            positions[joint], velocities[joint] = target, command
            samples[joint].append(Sample(desired[joint], limited[joint], command, target, binding[joint],
                                         clamped, rejected))
    return samples, refused, default_refused, sequence_ids


def check(samples, refused, default_refused, sequence_ids, verdicts):
    """What the run must have done: the list of what it did not (empty when all is well)."""
    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    for joint, (limits, trace) in enumerate(zip(arm.LIMITS, samples)):
        step = limits.max_acceleration * arm.PERIOD * (1 + 1e-9)
        planned_from = 0.0  # the limiter's velocity before the first period
        for number, s in enumerate(trace):
            at = f"joint {joint} at {number * arm.PERIOD * 1000:g} ms"
            # Nanoradians past a limit are the Governor's rounding (see run).
            expect(limits.min_position - 1e-6 <= s.position <= limits.max_position + 1e-6,
                   f"{at}: position {s.position:.6g} rad outside {limits.min_position:g} to {limits.max_position:g}")
            expect(abs(s.velocity) <= BOUNDARY_LIMIT, f"{at}: moved at {s.velocity:.6g} rad/s")
            expect(abs(s.limited) <= limits.max_velocity, f"{at}: the limiter gave {s.limited:.6g} rad/s")
            expect(kestrel.Limit.ACCELERATION_YIELDED in s.binding or abs(s.limited - planned_from) <= step,
                   f"{at}: the limiter's velocity changed by more than max_acceleration allows")
            planned_from = s.velocity if s.clamped or s.refused is not None else s.limited
    expect(refused == collections.Counter(velocity_exceeded=len(CORRUPTED)),
           f"the boundary refused {dict(refused)}, not the {len(CORRUPTED)} corrupted commands alone")
    expect(sequence_ids == list(range(1, arm.JOINTS * STEPS - len(CORRUPTED) + 1)),
           "the sequence ids do not count up from 1 without a gap")
    expect(verdicts == collections.Counter(accepted=len(sequence_ids), replay_counter=1),
           f"the actuator side judged {dict(verdicts)}, not {len(sequence_ids)} accepted and 1 replay refused")
    expect(default_refused > arm.JOINTS * STEPS // 2, "the default rate_limit did not refuse most commands")
    expect(any(s.clamped for trace in samples for s in trace), "the Governor's envelope was never reached")
    bound = {flag for trace in samples for s in trace for flag in kestrel.Limit if s.bound(flag)}
    for flag in (kestrel.Limit.POSITION, kestrel.Limit.BRAKING, kestrel.Limit.VELOCITY, kestrel.Limit.ACCELERATION,
                 kestrel.Limit.JERK, kestrel.Limit.STOP_REQUEST):
        expect(flag in bound, f"the {flag.name.lower()} limit never bound")
    return failures


# What each of the limiter's flags means, for the summary.
MEANING = {
    kestrel.Limit.POSITION: "one period from a position limit, or held at rest on it",
    kestrel.Limit.BRAKING: "slowed so that it can still stop before a position limit",
    kestrel.Limit.VELOCITY: "at the joint's max_velocity",
    kestrel.Limit.ACCELERATION: "speeding up or slowing down at max_acceleration",
    kestrel.Limit.JERK: "changing its acceleration as fast as max_jerk allows",
    kestrel.Limit.ACCELERATION_YIELDED: "the acceleration limit gave way (only after a reset to a state "
                                        "the limits cannot hold from)",
    kestrel.Limit.JERK_YIELDED: "the jerk limit gave way (the same)",
    kestrel.Limit.STOP_REQUEST: "the controller sent NaN (it lost track): the joint brakes to rest",
    kestrel.Limit.COUPLING: "the coupling rows between joints moved the result",
    kestrel.Limit.ARRIVAL: "easing onto the requested velocity so as not to overshoot it",
    kestrel.Limit.COUPLING_UNMET: "the coupling rows could not be met; each joint's own result stands",
    kestrel.Limit.RECOVERING: "outside the states the limits hold from, after a reset, until back inside",
}


def milliseconds(step):
    return f"{step * arm.PERIOD * 1000:g} ms"


def velocity_text(value):
    """A velocity as people write it: 9.5 rad/s, NaN."""
    return "NaN" if math.isnan(value) else f"{value:g} rad/s"


def announce_faults():
    faults = [(step, f"joint {joint}'s command is changed to {velocity_text(value)} on its way to the boundary: "
                     "the boundary must refuse it (velocity_exceeded)") for (step, joint), value in CORRUPTED.items()]
    faults.append((REPLAYED[0], f"joint {REPLAYED[1]}'s signed command reaches the actuator side twice: "
                                "the actuator side must refuse the second (replay_counter)"))
    print("Faults injected on purpose; the run must refuse each of them:")
    for step, what in sorted(faults):
        print(f"  at {milliseconds(step)}, {what}")


def print_summary(samples, refused, default_refused, actuator, verdicts, wall):
    commands = arm.JOINTS * STEPS
    print(f"{arm.JOINTS} joints at {RATE} Hz for {arm.DURATION:g} s of simulated time, run in {wall[0]:.2f} s of "
          f"wall time ({wall[1]:.2f} s of this process's CPU time): {commands} commands")
    clamped = {joint: sum(s.clamped for s in trace) for joint, trace in enumerate(samples)}
    print(f"Governor, envelope ±{ENVELOPE:.7g} rad/s (the single-precision value just below {BOUNDARY_LIMIT:g}): "
          f"{sum(clamped.values())} commands clamped ("
          + ", ".join(f"joint {joint} {count}" for joint, count in clamped.items() if count) + ")")
    kinds = ", ".join(f"{kind} {count}" for kind, count in sorted(refused.items())) or "none"
    print(f"boundary, max {BOUNDARY_LIMIT:g} rad/s: {commands - sum(refused.values())} authorized; "
          f"refused: {kinds} (the corrupted commands)")
    print(f"  rate_limit {RATE_LIMIT}: the boundary counts the commands of every axis together, per one-second "
          f"window of its clock; {arm.JOINTS} joints at {RATE} Hz make {arm.JOINTS * RATE} a second, plus 10 %. "
          f"The default rate_limit (1000) would have refused {default_refused} of the same {commands}.")
    print(f"receiving side ({actuator.name}): " + ", ".join(f"{kind} {count}" for kind, count in verdicts.items())
          + " (the frame delivered twice)")
    print("limits of the joint limiter that shaped a command (periods, all joints):")
    for flag in kestrel.Limit:
        joints = [joint for joint, trace in enumerate(samples) if any(s.bound(flag) for s in trace)]
        count = sum(s.bound(flag) for trace in samples for s in trace)
        if count:
            print(f"  {flag.name.lower():14} {count:5}  joints {','.join(map(str, joints)):13}  {MEANING[flag]}")


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description="Kestrel demo: a seven-joint arm at 1 kHz")
    parser.add_argument("--log", metavar="FILE",
                        help="write a receipt log of every action the boundary authorized or refused")
    parser.add_argument("--key-file", metavar="KEY", help="the 32-byte boundary key; created if absent")
    parser.add_argument("--plot", metavar="FILE",
                        help="draw joint 5 into FILE (.png or .svg); with --joints, one file per joint listed")
    parser.add_argument("--receiver", metavar="PROGRAM",
                        help="send signed command frames to examples/c/frame_receiver (its built program)")
    parser.add_argument("--joints", metavar="LIST",
                        help="comma-separated joints to draw, 0 to 6 (default 5); for more than one, each goes to a "
                             "file of its own: --plot arm.png --joints 3,5 writes arm_joint3.png and arm_joint5.png")
    args = parser.parse_args(argv)
    if args.log and not args.key_file:
        parser.error("--log needs --key-file, or the log could never be checked")
    if args.joints is not None and not args.plot:
        parser.error("--joints chooses what --plot draws: give --plot FILE too")
    if args.plot:
        args.joints = args.joints or "5"
        if pathlib.Path(args.plot).suffix.lower() not in (".png", ".svg"):
            parser.error("--plot writes .png or .svg files")
        try:
            args.joints = sorted({int(joint) for joint in args.joints.split(",")})
        except ValueError:
            parser.error("--joints takes joint numbers separated by commas")
        if not set(args.joints) <= set(range(arm.JOINTS)):
            parser.error(f"--joints: the arm has joints 0 to {arm.JOINTS - 1}")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            # Name the interpreter: Debian's package serves /usr/bin/python3 alone, not a venv or another Python.
            parser.error(f"--plot needs matplotlib, which {sys.executable} cannot import: install it for that "
                         f"interpreter ({sys.executable} -m pip install matplotlib), or run the demo with "
                         "/usr/bin/python3 after apt-get install python3-matplotlib")
    return args


def load_or_create_key(path):
    """The key in `path`, or a fresh random one written there (owner-only) if the file is absent."""
    if path is None:
        return os.urandom(32)
    key = os.urandom(32)
    try:
        write_key_file(path, key)
    except FileExistsError:
        return read_key_file(path)
    return key


def write_key_file(path, key):
    """Write `key` to a new file at `path` that only its owner may read; return the path."""
    with os.fdopen(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as f:
        f.write(key)
    return path


def open_receipt_log(path, key):
    """A receipt log writer over `path`, sealed with `key` when closed, or None when no log was asked for."""
    if path is None:
        return None
    return kestrel.ReceiptLogWriter(open(path, "w", encoding="utf-8"), key)


def plot_paths(path, joints):
    """FILE for one joint; FILE's stem with _jointN for each of several."""
    path = pathlib.Path(path)
    if len(joints) == 1:
        return {joints[0]: path}
    return {joint: path.with_name(f"{path.stem}_joint{joint}{path.suffix}") for joint in joints}


def main(argv=None):
    args = parse_args(argv)
    try:
        key = load_or_create_key(args.key_file)
    except ValueError as error:  # a key file of the wrong size, or one that others may read
        sys.exit(f"control_loop: {error}")
    log = open_receipt_log(args.log, key)
    # It starts at the wall clock's time, for the C receiver, which judges a
    # receipt's age by its own wall clock.
    clock = kestrel.SimulatedClock(start_ns=time.time_ns())
    with tempfile.TemporaryDirectory() as directory:
        if args.receiver:
            key_file = args.key_file or write_key_file(pathlib.Path(directory) / "boundary.key", key)
            actuator = receiving_side.FrameSide(args.receiver, key_file, arm.JOINTS * STEPS - len(CORRUPTED) + 1,
                                                arm.DURATION)
        else:
            actuator = receiving_side.GuardSide(key, clock)
        announce_faults()
        started = time.monotonic(), time.process_time()
        samples, refused, default_refused, sequence_ids = run(key, log, actuator, clock)
        wall = time.monotonic() - started[0], time.process_time() - started[1]
        verdicts = actuator.finish()
    print_summary(samples, refused, default_refused, actuator, verdicts, wall)
    if log:
        log.close()
        print(f"receipt log: {len(sequence_ids)} actions and {sum(refused.values())} refusals in {args.log}")
    if args.plot:
        import arm_plot
        for joint, path in plot_paths(args.plot, args.joints).items():
            arm_plot.draw_joint(path, joint, samples[joint], arm.LIMITS[joint], ENVELOPE, arm.PERIOD,
                                f"joint {joint} ({arm.NAMES[joint]})")
            print(f"wrote {path}")
    failures = check(samples, refused, default_refused, sequence_ids, verdicts)
    if failures:
        for failure in failures[:5]:
            print(f"  {failure}", file=sys.stderr)
        sys.exit(f"self-check FAILED: {len(failures)} check{'s' if len(failures) > 1 else ''} did not hold"
                 + (" (the first 5 above)" if len(failures) > 5 else " (above)"))
    print(f"self-check passed: every joint stayed within its limits, the boundary refused exactly the "
          f"{len(CORRUPTED)} corrupted commands and the actuator side the replayed one, and the other "
          f"{len(sequence_ids)} commands were carried out in order")
    return 0


if __name__ == "__main__":
    sys.exit(main())
