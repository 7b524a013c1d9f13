"""Speed of the Python face of Kestrel, as ratios against baselines measured in the same run.

    PYTHONPATH=<module dir>:<reference dir> python3 bench_module.py [--quick]

Baselines: `_kestrel_bench_reference` (the cheapest C method that returns a new
float, and the cheapest C loop that reads a list of floats into new floats),
numpy's clip round trip when numpy is installed, and the authorization written
in plain Python with the standard library.
"""
import collections
import hashlib
import hmac
import os
import random
import struct
import sys
import time
import timeit

import _kestrel
import _kestrel_bench_reference as reference

try:
    import numpy as np
except ImportError:  # optional baseline
    np = None


class PlainPythonBoundary:
    """The same authorization work as KestrelBoundary.authorize_action, in plain Python."""

    def __init__(self, key, rate_limit=10**9, max_velocity=4.18):
        self.key = key
        self.rate_limit = rate_limit
        self.max_velocity = max_velocity
        self.window_start = time.time_ns()
        self.window_count = 0
        self.sequence = 0
        self.last_sequence = 0
        self.ring = collections.deque(maxlen=1024)
        self.seen = set()

    def tag(self, nonce, timestamp, sequence, action, payload):
        message = (nonce + struct.pack("<QQQ", timestamp, sequence, len(action)) + action
                   + struct.pack("<Q", 16) + payload)
        return hmac.new(self.key, message, hashlib.sha256).digest()

    def authorize_action(self, axis, position, velocity):
        if not abs(velocity) <= self.max_velocity:
            raise ValueError("velocity_exceeded")
        now = time.time_ns()
        if now - self.window_start < 1_000_000_000:
            self.window_count += 1
            if self.window_count > self.rate_limit:
                raise ValueError("rate_limited")
        else:
            self.window_start, self.window_count = now, 1
        self.sequence += 1
        nonce = os.urandom(12)
        action = b"axis_%d" % axis
        payload = struct.pack("<dd", position, velocity)
        tag = self.tag(nonce, now, self.sequence, action, payload)
        # Interception: replay checks, then the tag recomputed and compared.
        if self.sequence <= self.last_sequence or nonce in self.seen:
            raise ValueError("replay")
        if not hmac.compare_digest(tag, self.tag(nonce, now, self.sequence, action, payload)):
            raise ValueError("authentication_failure")
        self.last_sequence = self.sequence
        if len(self.ring) == self.ring.maxlen:
            self.seen.discard(self.ring[0])
        self.ring.append(nonce)
        self.seen.add(nonce)
        return nonce + struct.pack("<QQ", now, self.sequence) + tag


def main():
    quick = "--quick" in sys.argv
    scale = 10 if quick else 1
    rng = random.Random(7)
    governor = _kestrel.Governor(-1.0, 1.0)
    rows = []

    # project: inside the envelope and not exactly a 32-bit value, so a new float is made.
    value = 0.1234567
    g = {"project": governor.project, "ref": reference.new_float, "v": value}
    n = 2_000_000 // scale
    t_project = min(timeit.repeat("project(v)", globals=g, number=n, repeat=5)) / n * 1e9
    t_ref = min(timeit.repeat("ref(v)", globals=g, number=n, repeat=5)) / n * 1e9
    rows.append(("Governor.project(x)", t_project, "C method returning a new float", t_ref))
    g["v"] = 7.5  # clamped: the bound's float is handed out again
    t_clamped = min(timeit.repeat("project(v)", globals=g, number=n, repeat=5)) / n * 1e9
    rows.append(("Governor.project(clamped)", t_clamped, "C method returning a new float", t_ref))

    # project_batch over a million floats, 30 % of them outside the envelope.
    values = [rng.uniform(-1.4, 1.4) for _ in range(1_000_000 // scale)]
    g = {"batch": governor.project_batch, "ref": reference.new_floats, "values": values, "np": np}
    t_batch = min(timeit.repeat("batch(values)", globals=g, number=1, repeat=7)) * 1e9
    t_loop = min(timeit.repeat("ref(values)", globals=g, number=1, repeat=7)) * 1e9
    rows.append((f"project_batch({len(values)} floats)", t_batch, "C loop making new floats", t_loop))
    if np is not None:
        t_np = min(timeit.repeat("np.clip(np.asarray(values, np.float32), -1.0, 1.0).tolist()", globals=g,
                                 number=1, repeat=7)) * 1e9
        rows.append((f"project_batch({len(values)} floats)", t_batch, "numpy clip round trip", t_np))

    # authorize_action with a full nonce ring, against the same work in plain Python.
    key = os.urandom(32)
    boundary = _kestrel.KestrelBoundary(rate_limit=2**63, hmac_key=key)
    plain = PlainPythonBoundary(key)
    for _ in range(1100):
        boundary.authorize_action(1, 0.5, 1.0)
        plain.authorize_action(1, 0.5, 1.0)
    g = {"k": boundary.authorize_action, "p": plain.authorize_action}
    n = 100_000 // scale
    t_kestrel = min(timeit.repeat("k(1, 0.5, 1.0)", globals=g, number=n, repeat=5)) / n * 1e9
    t_plain = min(timeit.repeat("p(1, 0.5, 1.0)", globals=g, number=n, repeat=5)) / n * 1e9
    rows.append(("authorize_action (full ring)", t_kestrel, "plain Python + stdlib", t_plain))
    receipt = boundary.authorize_action(1, 0.5, 1.0)
    g = {"verify": receipt.verify, "key": key}
    t_verify = min(timeit.repeat("verify(key)", globals=g, number=n, repeat=5)) / n * 1e9
    rows.append(("KestrelReceipt.verify", t_verify, "authorize_action", t_kestrel))

    print(f"{'operation':34} {'ns':>12}   {'baseline':32} {'ns':>12}  ratio")
    for name, t, base_name, base in rows:
        print(f"{name:34} {t:12.1f}   {base_name:32} {base:12.1f}  {t / base:5.2f}x")


if __name__ == "__main__":
    main()
