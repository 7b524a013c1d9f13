"""The demo's actuator side, which checks every authorized command before it moves a joint.

Each command travels as a signed command frame (84 bytes, kestrel.encode_frame)
to either a ReceiptGuard in this process, or, with --receiver, the C program
examples/c/frame_receiver, as a UDP datagram on 127.0.0.1; that one answers
with one line per frame. Both refuse receipts older than MAX_AGE_MS: the
guard in this process on the demo's simulated clock, the C program on its
wall clock, which the simulation runs ahead of (so its maximum age also
covers the simulated run's length).
"""
import collections
import subprocess
import socket

import kestrel

MAX_AGE_MS = 500  # the receiver refuses receipts older than this (stale_receipt)
# Frames sent but not yet judged, at most: far inside the socket's receive
# buffer, so that a burst is never dropped.
IN_FLIGHT = 64


class GuardSide:
    """A ReceiptGuard in this process."""

    name = "ReceiptGuard in this process"

    def __init__(self, key, clock):
        self.guard = kestrel.ReceiptGuard(key, max_age=MAX_AGE_MS / 1000, clock=clock)
        self.verdicts = collections.Counter()

    def deliver(self, joint, position, velocity, receipt):
        try:
            self.guard.check_frame(kestrel.encode_frame(joint, position, velocity, receipt))
            self.verdicts["accepted"] += 1
        except kestrel.KestrelViolation as refusal:
            self.verdicts[refusal.violation_type] += 1

    def finish(self):
        return self.verdicts


class FrameSide:
    """examples/c/frame_receiver, sent signed command frames over loopback UDP."""

    name = "frame_receiver over UDP"

    def __init__(self, program, key_file, frames, simulated_seconds):
        max_age_ms = MAX_AGE_MS + round(simulated_seconds * 1000)
        self.process = subprocess.Popen([program, key_file, str(max_age_ms), str(frames)],
                                        stdout=subprocess.PIPE, text=True)
        port = int(self.process.stdout.readline().split()[1])  # "port N"
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.connect(("127.0.0.1", port))
        self.sent = 0
        self.verdicts = collections.Counter()

    def deliver(self, joint, position, velocity, receipt):
        self.socket.send(kestrel.encode_frame(joint, position, velocity, receipt))
        self.sent += 1
        if self.sent - sum(self.verdicts.values()) > IN_FLIGHT:
            # Down to half at once: one wait per IN_FLIGHT / 2 frames, not one per frame.
            while self.sent - sum(self.verdicts.values()) > IN_FLIGHT // 2:
                self.read_verdict()

    def read_verdict(self):
        line = self.process.stdout.readline().split()  # "accepted ID" or "refused NAME"
        if not line:
            raise RuntimeError(f"frame_receiver ended (status {self.process.wait()}) before judging every frame")
        self.verdicts["accepted" if line[0] == "accepted" else line[1]] += 1

    def finish(self):
        while sum(self.verdicts.values()) < self.sent:
            self.read_verdict()
        self.socket.close()
        if self.process.wait() != 0:
            raise RuntimeError(f"frame_receiver failed with status {self.process.returncode}")
        return self.verdicts
