"""A short control loop behind the Kestrel safety layer.

A controller produces joint-velocity commands for four axes at 1 kHz. A
JointLimiter first keeps every joint within its position, velocity,
acceleration and jerk limits; each command is then clamped into the safe
envelope by a Governor and authorized by a KestrelBoundary; the actuator side re-verifies each receipt
with the boundary key before it would move. A deliberately unsafe command and
a burst beyond the rate limit show the refusals. The loop checks its own
results and exits non-zero if anything is off. `--plot FILE` writes an SVG of
joint 0's desired and limited velocity.

With --log FILE every authorized action is also written to a receipt log that
`python3 -m kestrel verify-log --key-file KEY FILE` checks; --key-file KEY
names the 32-byte boundary key (created if absent) so that the log can be
checked after the run.
"""
import argparse
import math
import os
import sys

import _kestrel
import kestrel

MAX_VELOCITY = 4.18  # rad/s, the boundary's limit
AXES = 4
STEPS = 200
PERIOD = 0.001  # s, the control period
JOINT_LIMITS = kestrel.JointLimits(min_position=-0.06, max_position=0.06, max_velocity=4.0,
                                   max_acceleration=300.0, max_jerk=30000.0)


def controller(step, axis):
    """A wobbly reference tracker that now and then asks for too much."""
    return 6.0 * math.sin(0.07 * step + axis) + (3.0 if step % 50 == 0 else 0.0)


class LimiterStage:
    """The joint limiter in front of the Governor, with what it did recorded for the report."""

    def __init__(self):
        self.limiter = kestrel.JointLimiter([JOINT_LIMITS] * AXES, PERIOD)
        self.binding = {flag: 0 for flag in kestrel.Limit}
        self.trace = []  # (desired, limited) of joint 0 per step
        self.previous = [0.0] * AXES

    def step(self, desired):
        limited = self.limiter.limit(desired)
        for flags in self.limiter.binding:
            for flag in kestrel.Limit:
                if flag in flags:
                    self.binding[flag] += 1
        self.check(limited)
        self.trace.append((desired[0], limited[0]))
        self.previous = limited
        return limited

    def check(self, limited):
        """Every limit that did not have to give way holds (with rounding slack)."""
        step = JOINT_LIMITS.max_acceleration * PERIOD * (1 + 1e-9)
        for joint, (v, flags) in enumerate(zip(limited, self.limiter.binding)):
            assert abs(v) <= JOINT_LIMITS.max_velocity, f"joint {joint}: velocity {v}"
            assert kestrel.Limit.ACCELERATION_YIELDED in flags or abs(v - self.previous[joint]) <= step, \
                f"joint {joint}: acceleration"
        for joint, p in enumerate(self.limiter.positions):
            assert JOINT_LIMITS.min_position <= p <= JOINT_LIMITS.max_position, f"joint {joint}: position {p}"

    def report(self, steps):
        counts = ", ".join(f"{flag.name.lower()} {count}" for flag, count in self.binding.items() if count)
        print(f"joint limiter over {steps} cycles x {AXES} joints, times each limit was binding: {counts}")
        # The controller asks for more than the joints may do, so the limits must show.
        for flag in (kestrel.Limit.VELOCITY, kestrel.Limit.ACCELERATION, kestrel.Limit.BRAKING):
            assert self.binding[flag] > 0, f"the {flag.name} limit never bound"


def write_velocity_plot(path, trace, period):
    """An SVG of one joint's desired and limited velocity over time (no plotting library)."""
    width, height, margin = 800, 300, 40
    top = max(max(abs(d), abs(v)) for d, v in trace) or 1.0

    def points(index):
        return " ".join(f"{margin + (width - 2 * margin) * i / max(len(trace) - 1, 1):.1f},"
                        f"{height / 2 - (height / 2 - margin) * sample[index] / top:.1f}"
                        for i, sample in enumerate(trace))

    svg = f"""<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" font-family="sans-serif">
<rect width="100%" height="100%" fill="white"/>
<line x1="{margin}" y1="{height / 2}" x2="{width - margin}" y2="{height / 2}" stroke="#ccc"/>
<polyline fill="none" stroke="#d62728" stroke-width="1.5" points="{points(0)}"/>
<polyline fill="none" stroke="#1f77b4" stroke-width="2" points="{points(1)}"/>
<text x="{margin}" y="20" font-size="14">joint 0 velocity (rad/s, +-{top:.2f} full scale) over \
{len(trace) * period * 1000:.0f} ms: <tspan fill="#d62728">desired</tspan>, \
<tspan fill="#1f77b4">limited</tspan></text>
</svg>
"""
    with open(path, "w", encoding="utf-8") as out:
        out.write(svg)
    print(f"wrote {path}")


def parse_args(argv=None):
    parser = argparse.ArgumentParser(description="Kestrel demo control loop")
    parser.add_argument("--log", metavar="FILE", help="write a receipt log of every authorized action")
    parser.add_argument("--key-file", metavar="KEY", help="the 32-byte boundary key; created if absent")
    parser.add_argument("--plot", metavar="FILE", help="write joint 0's desired and limited velocity as SVG")
    args = parser.parse_args(argv)
    if args.log and not args.key_file:
        parser.error("--log needs --key-file, or the log could never be checked")
    return args


def load_or_create_key(path):
    """The key in `path`, or a fresh random one written there (owner-only) if the file is absent."""
    if path is None:
        return os.urandom(32)
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        from kestrel.receipt_log import read_key_file
        return read_key_file(path)
    key = os.urandom(32)
    with os.fdopen(fd, "wb") as f:
        f.write(key)
    return key


def open_receipt_log(path, key):
    """A receipt log writer over `path`, sealed with `key` when closed, or None when no log was asked for."""
    if path is None:
        return None
    return kestrel.ReceiptLogWriter(open(path, "w", encoding="utf-8"), key)


def main(argv=None):
    args = parse_args(argv)
    try:
        key = load_or_create_key(args.key_file)
    except ValueError as error:  # a key file of the wrong size, or one that others may read
        sys.exit(f"control_loop: {error}")
    log = open_receipt_log(args.log, key)
    stage = LimiterStage()
    governor = _kestrel.Governor(-MAX_VELOCITY, MAX_VELOCITY)
    boundary = _kestrel.KestrelBoundary(rate_limit=5000, max_velocity_rad_s=MAX_VELOCITY, hmac_key=key)
    cycle = _kestrel.MonotonicCounter()

    clamped = 0
    receipts = []
    positions = [0.0] * AXES
    for step in range(STEPS):
        cycle.next_value()
        raw = stage.step([controller(step, axis) for axis in range(AXES)])
        safe = governor.project_batch(raw)
        clamped += sum(1 for r, s in zip(raw, safe) if r != s and abs(r) > MAX_VELOCITY)
        for axis, velocity in enumerate(safe):
            positions[axis] += velocity * PERIOD
            receipt = boundary.authorize_action(axis, positions[axis], velocity)
            if not receipt.verify(key):
                sys.exit(f"receipt {receipt.sequence_id} failed verification")
            receipts.append(receipt)
            if log:
                log.record(axis, positions[axis], velocity, receipt)

    # An unclamped command is refused by the boundary itself.
    try:
        boundary.authorize_action(1, 0.0, 9.5)
        sys.exit("an unsafe velocity was authorized")
    except _kestrel.KestrelViolation as refusal:
        print(f"refused as expected: {refusal}")

    # A burst beyond a small rate limit is cut off.
    tight = _kestrel.KestrelBoundary(rate_limit=3, hmac_key=key)
    outcomes = []
    for _ in range(5):
        try:
            tight.authorize_action(0, 0.0, 0.1)
            outcomes.append("ok")
        except _kestrel.KestrelViolation as refusal:
            outcomes.append(refusal.violation_type)
    print(f"burst of 5 at rate_limit=3: {outcomes}")

    ids = [r.sequence_id for r in receipts]
    assert ids == list(range(1, len(ids) + 1)), "sequence ids must count up from 1"
    assert cycle.current_value() == STEPS
    assert outcomes == ["ok"] * 3 + ["rate_limited"] * 2, outcomes
    assert not receipts[0].verify(bytes(32)), "a receipt must not verify under another key"
    stage.report(STEPS)
    if args.plot:
        write_velocity_plot(args.plot, stage.trace, PERIOD)
    if log:
        log.close()
        print(f"receipt log: {len(receipts)} lines in {args.log}")
    print(f"{STEPS} cycles x {AXES} axes: {len(receipts)} commands authorized and verified, "
          f"{clamped} clamped into +-{MAX_VELOCITY} rad/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
