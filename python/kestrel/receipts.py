"""Receipts on the receiving side: read a receipt's wire form, and check receipts with a replay guard.

Both run on the C library's receipt functions (kestrel_receipt.h), so they
sign-check with the very code the boundary signs with.
"""
import ctypes
import operator
import threading
from typing import NamedTuple, Union

from _kestrel import KestrelViolation

from ._clib import lib

BytesLike = Union[bytes, bytearray, memoryview]

KEY_LEN = 32
RECEIPT_WIRE_LEN = 60
_INT32_MIN, _INT32_MAX = -(2**31), 2**31 - 1
_INVALID_RECEIPT = 4  # the security error code "invalid_receipt"


class _Fields(ctypes.Structure):
    # KestrelReceiptFields
    _fields_ = [
        ("nonce", ctypes.c_uint8 * 12),
        ("timestamp_nanos", ctypes.c_uint64),
        ("sequence_id", ctypes.c_uint64),
        ("tag", ctypes.c_uint8 * 32),
    ]


_u8p = ctypes.c_char_p
lib.kestrel_receipt_parse.argtypes = [_u8p, ctypes.POINTER(_Fields)]
lib.kestrel_receipt_parse.restype = ctypes.c_int32
lib.kestrel_receipt_guard_init.argtypes = [ctypes.c_void_p, _u8p]
lib.kestrel_receipt_guard_init.restype = ctypes.c_int32
lib.kestrel_receipt_guard_check.argtypes = [ctypes.c_void_p, _u8p, ctypes.c_int32, ctypes.c_double, ctypes.c_double]
lib.kestrel_receipt_guard_check.restype = ctypes.c_int32
lib.kestrel_receipt_guard_wipe.argtypes = [ctypes.c_void_p]
lib.kestrel_receipt_guard_wipe.restype = ctypes.c_int32
lib.kestrel_receipt_guard_size.restype = ctypes.c_size_t
lib.kestrel_receipt_guard_alignment.restype = ctypes.c_size_t
for _name in ("kestrel_error_name", "kestrel_error_message"):
    getattr(lib, _name).argtypes = [ctypes.c_int32]
    getattr(lib, _name).restype = ctypes.c_char_p


class ReceiptFields(NamedTuple):
    """The fields of a receipt's 60-byte wire form."""

    nonce: bytes
    """12 random bytes drawn for the action."""
    timestamp_nanos: int
    """Wall-clock time of issue, nanoseconds since the Unix epoch."""
    sequence_id: int
    """The action's sequence number; 1 for a boundary's first action."""
    tag: bytes
    """The 32-byte HMAC-SHA-256 tag."""


def _bytes(name: str, value: object) -> bytes:
    if isinstance(value, bytes):
        return value
    if isinstance(value, (bytearray, memoryview)):
        return bytes(value)
    raise TypeError(f"{name} must be a bytes-like object, not {type(value).__name__!r}")


def parse_receipt(data: BytesLike) -> ReceiptFields:
    """parse_receipt(data) -> ReceiptFields

    Read the nonce, timestamp, sequence id and tag out of a 60-byte receipt wire
    form (``KestrelReceipt.receipt_hash``). Any 60 bytes parse; whether the tag
    is right is for ``ReceiptGuard`` or ``KestrelReceipt.verify`` to say. Raises
    ``ValueError`` for another length, ``TypeError`` for a non-bytes object.
    """
    data = _bytes("data", data)
    if len(data) != RECEIPT_WIRE_LEN:
        raise ValueError(f"a receipt is {RECEIPT_WIRE_LEN} bytes, not {len(data)}")
    out = _Fields()
    lib.kestrel_receipt_parse(data, ctypes.byref(out))
    return ReceiptFields(bytes(out.nonce), out.timestamp_nanos, out.sequence_id, bytes(out.tag))


# The catalogue of refusals, code -> (violation type, message), read from the
# C library once.
_CATALOGUE = {code: (lib.kestrel_error_name(code).decode(), lib.kestrel_error_message(code).decode())
              for code in range(1, 10)}


def _refusal(axis: int, code: int) -> KestrelViolation:
    return KestrelViolation(axis, *_CATALOGUE[code])


def _axis(value: object) -> int:
    axis = operator.index(value)
    if not _INT32_MIN <= axis <= _INT32_MAX:
        raise OverflowError(f"axis {axis} does not fit in a signed 32-bit integer")
    return axis


def _double(name: str, value: object) -> float:
    if isinstance(value, float):
        return value
    if isinstance(value, (str, bytes, bytearray)) or not hasattr(type(value), "__float__") and not hasattr(
            type(value), "__index__"):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__!r}")
    return float(value)


class ReceiptGuard:
    """ReceiptGuard(key)

    The receiving side's replay guard for one stream of receipts under a 32-byte
    key: a receipt is accepted only if its tag is right for the action, its
    sequence id is newer than every one accepted before and its nonce is not
    among the last 1024 accepted. Only an acceptance changes the guard. Safe
    to share between threads (calls are serialised). The key is wiped from the
    guard's memory when the guard is destroyed.
    """

    __slots__ = ("_storage", "_guard", "_lock", "__weakref__")

    def __init__(self, key: BytesLike) -> None:
        key = _bytes("key", key)
        if len(key) != KEY_LEN:
            raise ValueError(f"key must be exactly {KEY_LEN} bytes")
        size, align = lib.kestrel_receipt_guard_size(), lib.kestrel_receipt_guard_alignment()
        # ctypes promises no alignment wider than 16: over-allocate and align.
        self._storage = (ctypes.c_uint8 * (size + align))()
        address = ctypes.addressof(self._storage)
        self._guard = ctypes.c_void_p((address + align - 1) & ~(align - 1))
        self._lock = threading.Lock()
        if lib.kestrel_receipt_guard_init(self._guard, key) != 0:
            raise RuntimeError("kestrel_receipt_guard_init refused an aligned guard")

    def check(self, receipt: BytesLike, axis: int, position: float, velocity: float) -> None:
        """check(receipt, axis, position, velocity) -> None

        Accept ``receipt`` (the 60-byte wire form, ``KestrelReceipt.receipt_hash``)
        for the action (axis, position, velocity) and return None, or raise
        ``KestrelViolation`` with ``violation_type`` "replay_counter",
        "replay_nonce", "authentication_failure", or "invalid_receipt" for a
        receipt that is not 60 bytes long.
        """
        receipt = _bytes("receipt", receipt)
        axis = _axis(axis)
        position = _double("position", position)
        velocity = _double("velocity", velocity)
        if len(receipt) != RECEIPT_WIRE_LEN:
            raise _refusal(axis, _INVALID_RECEIPT)
        with self._lock:
            code = lib.kestrel_receipt_guard_check(self._guard, receipt, axis, position, velocity)
        if code:
            raise _refusal(axis, code)

    def __del__(self) -> None:
        guard = getattr(self, "_guard", None)
        if guard is not None:
            lib.kestrel_receipt_guard_wipe(guard)
