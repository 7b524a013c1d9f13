#!/usr/bin/env python3
"""Writes the fuzz seed corpora: make_seeds.py OUTPUT_DIR.

One directory per target, one file per seed, each built from a worked
example of the kernels or of the replay gate's behaviour, in the input
layout that the target's source describes.
"""
import math
import os
import struct
import sys

NAN = math.nan
INF = math.inf


def scalar(a, b, u, lo=-1.0, hi=1.0):
    # u, bounds, then the constraint record (entries 1..3 zero).
    return struct.pack("<3f4f4f", u, lo, hi, a, 0, 0, 0, b, 0, 0, 0)


SCALAR = {
    "zero_coeff_inside": scalar(0, 0, 0.5),
    "zero_coeff_above": scalar(0, 0, 2.0),
    "zero_coeff_below": scalar(0, 0, -3.0),
    "zero_coeff_negative_limit": scalar(0, -1, 0.5),
    "negative_zero_coeff": scalar(-0.0, 5, 0.5),
    "upper_row_active": scalar(1, 0.5, 0.8),
    "upper_row_inactive": scalar(1, 0.5, 0.2),
    "upper_row_lower_bound": scalar(1, 0.5, -2.0),
    "scaled_row": scalar(2, 4, 3.0, hi=5),
    "upper_row_infeasible": scalar(1, -2, 0.0),
    "lower_row_active": scalar(-1, 0.5, -0.8),
    "lower_row_scaled": scalar(-2, -1, 0.0),
    "lower_row_infeasible": scalar(-1, -2, 0.0),
    "nan_command": scalar(1, 1, NAN),
    "infinite_command": scalar(1, 1, INF),
    "nan_coefficient": scalar(NAN, 1, 2.0),
    "nan_limit": scalar(1, NAN, 2.0),
    "nan_lower_bound": scalar(1, 0.5, 0.8, lo=NAN),
    "nan_upper_bound": scalar(-1, 0.5, 2.0, hi=NAN),
    "inverted_bounds": scalar(0, 0, 0.5, lo=1, hi=-1),
    "inverted_bounds_infeasible": scalar(1, 0.5, 0.8, lo=1, hi=-1),
}


def multivar(u, lower, upper, rows=(), limits=(), count=None):
    rows = list(rows) + [(0, 0, 0, 0)] * (4 - len(rows))
    limits = list(limits) + [0] * (4 - len(limits))
    n = len([r for r in rows if r != (0, 0, 0, 0)]) if count is None else count
    flat = [c for r in rows for c in r]
    return struct.pack("<4f4f4fQ16f4f", *u, *lower, *upper, n, *flat, *limits)


M1, P1, Z = (-1,) * 4, (1,) * 4, (0,) * 4
MULTIVAR = {
    "worked_example": multivar((2, 2, 0, 0), M1, P1, [(1, 1, 0, 0)], [1]),
    "count_five": multivar((2, -3, 0.5, 0), M1, P1, count=5),
    "inverted_bounds": multivar((2, 2, 0, 0), M1, (1, 1, -2, 1)),
    "nan_command": multivar((2, NAN, -3, 0), M1, P1),
    "no_rows": multivar((2, -2, 0.25, -0.5), M1, P1),
    "infinite_command": multivar((INF, -INF, 0, 0), M1, P1, [(0, 0, 1, 1)], [0.5]),
    "row_outside_box": multivar((0.5, 3, 0, 0), Z, P1, [(1, 0, 0, 0)], [-1]),
    "zero_row_negative_limit": multivar((0.5, 3, 0, 0), Z, P1, [(0, 0, 0, 0)], [-1], count=1),
    "five_entries_singular": multivar((5, 5, 5, 5), Z, P1, [(1, 1, 1, 1)], [0]),
    "bounds_dropped_then_row": multivar((5, 1, 0, 0), Z, P1, [(1, 1, 0, 0)], [1.9]),
    "four_bounds_dropped": multivar((5, 5, 0.5, 0.5), Z, P1, [(1, 1, 0, 0)], [1]),
    "touched_row_never_blocks": multivar((2, 1, 1, -2), (-3, -1, -2, 0), (1, 1, -1, 2), [(0, 2, -1, -2)], [2]),
    "four_rows": multivar((3, -2, 1, 4), (-2,) * 4, (2,) * 4,
                          [(1, 1, 0, 0), (0, 1, 1, 0), (0, 0, 1, 1), (1, 0, 0, -1)], [1, 1, 1, 0.5]),
    # Optimal, off the row by the rounding of u3 = 1e5.
    "large_command": multivar(
        [float.fromhex(h) for h in ("-0x1.c2199cp+0", "-0x1.4845b4p+1", "-0x1.f1918ep+0", "0x1.86ap+16")],
        [float.fromhex(h) for h in ("0x1.410c0cp+1", "-0x1.4c9146p+1", "-0x1.560824p+0", "-0x1.0b5eeap+1")],
        [float.fromhex(h) for h in ("0x1.8b48ecp+1", "-0x1.66b38p-5", "0x1.e15d38p-2", "0x1.b4b8e8p-1")],
        [[float.fromhex(h) for h in ("0x1.4756ap-2", "-0x1.26bee4p+1", "-0x1.df8434p+0", "-0x1.3df392p+1")]],
        [float.fromhex("0x1.5b36b8p+1")]),
    # x_eq with an infinite lane: NumericalFailure.
    "infinite_answer": multivar((2.941688, 1.546137, -3e38, -3e38), (-1e30, -1e30, -INF, -INF), (INF, 1, INF, 1e30),
                                [(0.5, 1, 0.5, -1)], [-0.28121898]),
}


# Replay gate operations (see fuzz_replay_gate.cpp for the layouts).
def nonce(i):
    return struct.pack("<I", i) + b"\xa5" * 8


def honest(n, gap=0, ts=1_700_000_000_000_000_000, axis=3, payload=struct.pack("<dd", 0.25, 1.5)):
    return bytes([0, gap]) + nonce(n) + struct.pack("<Q", ts) + bytes([axis]) + payload


def burst(count):  # count honest receipts, 1..16
    assert 1 <= count <= 16
    return bytes([1, count - 1])


def replay(pick):
    return bytes([2, pick])


def reuse_nonce(back, gap=0, axis=3):
    return bytes([3, back >> 8, back & 0xFF, gap, axis])


def tamper(n, where, pos, flip=1, gap=0, axis=3):
    return bytes([4, gap]) + nonce(n) + bytes([axis, where, pos, flip])


def other_key(pos, flip, n, gap=0):
    return bytes([5, pos, flip, gap]) + nonce(n)


def long_id(length, n, gap=0):
    return bytes([6, length]) + b"a" * length + bytes([gap]) + nonce(n) + bytes(32)


def raw(wire, action=b"axis_3", payload=bytes(16)):
    return bytes([7]) + wire + bytes([len(action)]) + action + payload


def any_sequence(seq, n):
    return bytes([8]) + struct.pack("<Q", seq) + nonce(n)


# On a full ring of 1324 insertions: each step looks up or inserts (kind bit
# 1) a remembered nonce counted back from the newest (kind bit 0) or a raw one.
def ring(*steps):
    out = bytes([9, len(steps) - 1])
    for insert, back, raw_nonce in steps:
        kind = (2 if insert else 0) | (1 if back is not None else 0)
        out += bytes([kind]) + (bytes([back >> 8, back & 0xFF]) if back is not None else raw_nonce)
    return out


INTERCEPTOR = {
    "first_receipt_zero_nonce": bytes([0, 0]) + bytes(12) + bytes(8) + bytes([3]) + bytes(16),
    "sequence_gaps_then_stale": any_sequence(1, 1) + any_sequence(5, 2) + any_sequence(100, 3)
    + replay(2) + any_sequence(99, 4),
    "stale_sequence_and_reused_nonce": honest(1) + replay(0) + reuse_nonce(0),
    "wrong_tag_then_right": tamper(7, 0, 40) + honest(7),
    "tampered_fields": tamper(1, 0, 0) + tamper(2, 0, 12) + tamper(3, 0, 20) + tamper(4, 1, 5) + tamper(5, 2, 15),
    "bursts_then_reused_nonce": burst(16) + burst(4) + reuse_nonce(19) + reuse_nonce(0),
    # The oldest remembered nonce is found; one insert forgets it; the next
    # oldest is still found, as is the one just inserted.
    "ring_wraps": ring((False, 1023, None), (True, None, nonce(5000)), (False, None, nonce(300)),
                       (False, 1023, None), (False, 0, None)),
    "other_key": other_key(0, 1, 9) + other_key(31, 0x80, 10),
    "action_id_64_and_65": long_id(64, 11) + long_id(65, 12) + long_id(0, 13),
    "timestamps_zero_and_far": honest(20, ts=0) + honest(21, ts=2**64 - 1),
    "raw_receipt": raw(nonce(30) + bytes(8) + struct.pack("<Q", 1) + bytes(32)),
    "top_sequence_id": any_sequence(2**64 - 1, 40) + honest(41),
}


# Receipt guard operations (see fuzz_receipt_guard.cpp for the layouts).
def action(axis=3, position=0.25, velocity=1.5):
    return struct.pack("<idd", axis, position, velocity)


def guard_honest(n, gap=0, **kw):
    return bytes([0, gap]) + nonce(n) + action(**kw)


GUARD = {
    "honest_then_replays": guard_honest(1) + bytes([2, 0, 0, 0, 0]) + bytes([2, 0, 1, 59, 1])
    + bytes([2, 0, 2, 0, 1]) + bytes([2, 0, 3, 0, 1]),
    "axes_and_payloads": guard_honest(2, axis=-2**31, position=-0.0, velocity=NAN)
    + guard_honest(3, gap=9, axis=2**31 - 1, position=INF, velocity=-INF),
    "reused_nonce": guard_honest(4) + bytes([3, 0, 0]) + action(),
    # The longest burst, 1024 + 64 acceptances, wraps the ring; then nonces
    # from the window again, its oldest included.
    "ring_wraps": bytes([1, 255]) + bytes([3, 0x01, 0x04]) + action() + bytes([3, 0xff, 0x03]) + action(),
    "raw_wire": bytes([4]) + nonce(5) + bytes(8) + struct.pack("<Q", 1) + bytes(32) + action(),
    "pointers_wipe_init": guard_honest(6) + bytes([5]) + bytes(60) + bytes([7]) + bytes([6]) + bytes(60)
    + bytes([7]) + bytes([2, 0, 0, 0, 0]),
}


# Joint limiter programs (see fuzz_joint_limiter.cpp for the layout). A limit
# code b is 2^((b - 128) / 4); 255 is absent. A request code b is NaN (0),
# +-inf (1, 2), +-DBL_MAX (3, 4), else (b - 130) / 31 of max_velocity.
def limiter(joints, period, limits, starts, program):
    out = bytes([len(limits) - 1 if joints is None else joints - 1, period])
    for (lo, hi, v, a, j), start in zip(limits, starts):
        out += bytes([lo, hi, v, a, j, start])
    return out + program


ARM = (130, 131, 131, 144, 180)  # about -1.2 .. 1.2 rad, 1.2 rad/s, 12 rad/s^2, 1e3 rad/s^3


def requests(*codes):
    return bytes([0, *codes])


LIMITER = {
    # Bang-bang at 1 kHz: full speed up, held, then down, held.
    "bang_bang": limiter(None, 3, [ARM], [100], requests(255) + bytes([1, 255]) + requests(5) + bytes([1, 255])),
    # Sign flips every period at 10 kHz, two joints.
    "sign_flips": limiter(None, 2, [ARM, ARM], [100, 150], requests(200, 60) + bytes([2, 63])),
    # Into the upper limit and held there: no chatter, no yield.
    "held_at_limit": limiter(None, 3, [ARM], [190], requests(224) + bytes([1, 255, 1, 255])),
    # NaN and infinite requests, and the extremes of DBL_MAX.
    "stop_requests": limiter(None, 3, [ARM, ARM, ARM], [100, 100, 100], requests(150, 150, 150)
                             + bytes([1, 50]) + requests(0, 1, 2) + requests(3, 4, 0) + bytes([1, 20])),
    # A reset far outside the set (recovery), then a push.
    "reset_outside": limiter(None, 3, [ARM], [100], bytes([4, 180, 250]) + requests(250) + bytes([1, 40])),
    # No acceleration limit, no velocity limit, huge jerk: the issue's -DBL_MAX run.
    "free_huge_jerk": limiter(None, 3, [(255, 255, 255, 255, 250)], [100], requests(4) + bytes([1, 255] * 8)),
    # Position commands: a target, one beyond the limit, a NaN, at 100 kHz.
    "positions": limiter(None, 1, [ARM, ARM], [0, 200], bytes([3, 150, 50, 63, 3, 250, 201, 63, 3, 0, 0, 10])),
    # Coupling of four joints (three rows), with pure tracking switched on.
    "coupled": limiter(None, 3, [ARM] * 4, [100, 100, 100, 100],
                       bytes([5, 3]) + bytes([112, 144, 192, 144, 76]) + bytes([128, 96, 128, 144, 76])
                       + bytes([192, 112, 80, 192, 68]) + bytes([6, 1]) + requests(200, 250, 140, 20)
                       + bytes([1, 100])),
    # Limits of about 1e-10 and a period of 1 s.
    "tiny_limits": limiter(None, 7, [(0, 1, 0, 0, 0)], [100], requests(250) + bytes([1, 100, 2, 30])),
    # A period init refuses (raw bytes: 1.797e308).
    "refused_period": bytes([0, 8]) + struct.pack("<d", 1.797e308) + bytes(ARM) + bytes([100]),
}


# Receipt log programs (see fuzz_log_verifier.cpp): a raw log (byte 0 even,
# byte 1 the number of trailing piece sizes), or an honest log edited once.
_RECORD = b'{"axis": 3, "position": 0.25, "velocity": 1.5, "receipt": "' + b"ab" * 60 + b'"}\n'
_REFUSAL = b'{"refused": "rate_limited", "axis": -2, "position": "nan:7ff8000000000001", "velocity": 1e-05, "time": 5}\n'
_SEAL = b'{"checkpoint": "' + b"0" * 64 + b'", "lines": 2, "sha256": "' + b"f" * 64 + b'"}\n'
LOG = {
    "raw_lines": b"\x00\x03" + _RECORD + _REFUSAL + _SEAL + b'{"seal": "' + b"1" * 64 + b"\x17\x40\x05",
    "raw_long_line": b"\x00\x02" + b"{" * 1500 + b"\n" + _RECORD[:-1] + b"\x01\xff",
    "edited_flip": bytes([1, 7, 2]) + bytes(7 * 29) + struct.pack("<HBB", 100, 0, 1),
    "edited_cut": bytes([1, 11, 1]) + bytes(11 * 29) + struct.pack("<HB", 400, 3),
}

# The made-up arm's files, alone and together (mode byte: see fuzz_description.cpp).
ROBOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples", "robot")


def robot_file(name):
    with open(os.path.join(ROBOT, name), "rb") as f:
        return f.read()


_REAL_SPELLINGS = (b"v: &v 3\njoint_limits:\n  elbow: {max_velocity: *v, has_jerk: false}\n"
                   b"  wrist_roll: {angle_wraparound: true}\n  ghost: {}\ncartesian_limits: {max_trans_vel: 1}\n")

DESCRIPTION = {
    "urdf": b"\x00" + robot_file("egret.urdf"),
    "planning_yaml": b"\x01" + robot_file("egret_planning.yaml"),
    "degrees_yaml": b"\x01" + robot_file("egret_degrees.yaml"),
    "both_named_hard": b"\x0e" + robot_file("egret.urdf") + b"\f" + robot_file("egret_planning.yaml"),
    "both_degrees": b"\x02" + robot_file("egret.urdf") + b"\f" + robot_file("egret_degrees.yaml"),
    # A YAML that widens, aliases a value and holds what is only warned of: widening allowed, then strict.
    "both_widening": b"\x22" + robot_file("egret.urdf") + b"\f" + _REAL_SPELLINGS,
    "both_strict": b"\x12" + robot_file("egret.urdf") + b"\f" + _REAL_SPELLINGS,
}


# Monitor programs (see fuzz_monitor.cpp for the layout): joints - 1, stop,
# three tolerance codes, five limit codes per joint, then operations. A check
# (0) takes a clock step code (x 50 us) and a position and velocity code per
# joint: 130 is 0, 0 NaN.
def monitor(joints, stop, program):
    return bytes([joints - 1, stop, 0, 124, 100]) + bytes([130, 130, 131, 144, 180]) * joints + program


def checks(joints, n, position=130, velocity=130, step=20):
    return bytes([0, step] + [position, velocity] * joints) * n


MONITOR = {
    # At rest, an operator stop, standstill, acknowledge and run again.
    "stop_and_acknowledge": monitor(2, 0, checks(2, 4) + bytes([1, 20]) + checks(2, 3) + bytes([2]) + checks(2, 3)),
    # SS2 to standstill, then a drift (SOS).
    "standstill_drift": monitor(1, 1, checks(1, 3) + bytes([1, 20]) + checks(1, 2) + checks(1, 2, position=140)),
    # Moving at about 0.3 of the speed limit, then a NaN.
    "moving_then_nan": monitor(3, 0, checks(3, 8, position=131, velocity=140) + checks(3, 1, velocity=0)),
}


def main():
    root = sys.argv[1]
    for target, seeds in (("fuzz_scalar_kernel", SCALAR), ("fuzz_multivar_4d", MULTIVAR),
                          ("fuzz_replay_gate", INTERCEPTOR), ("fuzz_receipt_guard", GUARD),
                          ("fuzz_joint_limiter", LIMITER), ("fuzz_log_verifier", LOG),
                          ("fuzz_description", DESCRIPTION), ("fuzz_monitor", MONITOR)):
        directory = os.path.join(root, target)
        os.makedirs(directory, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
