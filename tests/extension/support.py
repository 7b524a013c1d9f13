"""Helpers shared by the module's tests: hostile argument objects and small utilities."""
import struct


def f32(value):
    """The value rounded to single precision, as the module computes it."""
    return struct.unpack("<f", struct.pack("<f", value))[0]


class FloatLike:
    """Converts through __float__ only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class IndexLike:
    """Converts through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class RaisingLenSequence:
    """A sequence whose length query fails but which iterates normally."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        raise RuntimeError("no length here")

    def __getitem__(self, i):
        return self.items[i]


class HugeLenSequence:
    """A sequence that reports an enormous length and yields few elements."""

    def __init__(self, items, length=2**62):
        self.items = list(items)
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


def authorize_outcome(boundary, axis=0):
    """The sequence id of a zero-velocity action on `axis`, or the KestrelViolation that refused it."""
    import _kestrel

    try:
        return boundary.authorize_action(axis, 0.0, 0.0).sequence_id
    except _kestrel.KestrelViolation as refusal:
        return refusal


# The built-in key of boundaries constructed without hmac_key (development only).
DEFAULT_KEY = b"KESTREL-DEVELOPMENT-ONLY-KEY-v1."


def expected_tag(key, receipt_hash, axis, position, velocity):
    """HMAC-SHA-256 over the authenticated message of a receipt, computed independently."""
    import hashlib
    import hmac

    nonce, rest = receipt_hash[:12], receipt_hash[12:28]
    action_id = f"axis_{axis}".encode()
    message = (nonce + rest + struct.pack("<Q", len(action_id)) + action_id + struct.pack("<Q", 16)
               + struct.pack("<dd", position, velocity))
    return hmac.new(key, message, hashlib.sha256).digest()
