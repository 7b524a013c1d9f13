"""The receipt log's lines: how one is written, how one is read, and the seal that closes a log.

A record line is ``{"axis": 3, "position": 0.25, "velocity": 1.5, "receipt": "<120 hex digits>"}``.
A number is written so that it reads back to the very double the boundary
signed: a finite one in its shortest decimal form (``repr``), otherwise
``"inf"``, ``"-inf"`` or ``"nan:"`` and the 16 hex digits of its IEEE-754 bits,
which keeps a NaN's sign and payload. Reading is strict, so that what a person
reads in a line is what was checked: one flat JSON object, no key twice, no
other keys, no number in any other spelling. Logs written before the seal
existed spelled non-finite numbers ``Infinity``, ``-Infinity`` and ``NaN``;
the first two read back exactly, a bare ``NaN`` as the default quiet NaN.

The seal line ``{"seal": "<64 hex>", "lines": 800, "sha256": "<64 hex>"}`` ends
a log: ``sha256`` is the SHA-256 of every line before it, each with its
newline, and ``seal`` is HMAC-SHA-256 over ``lines`` (u64 little-endian) and
that digest, keyed with HMAC-SHA-256(boundary key, b"kestrel receipt log seal").
"""
import hashlib
import hmac
import json
import math
import re
import struct
from typing import Dict, List, NamedTuple, Optional, Tuple, Union

MAX_LINE = 1024
"""Bytes in the longest line read (a written line is under 300)."""

_INT32 = range(-(2**31), 2**31)
_U64 = range(2**64)
_RECEIPT_BYTES = 60
_HEX = re.compile(r"[0-9a-f]*")
_NAN_TEXT = re.compile(r"nan:([0-9a-f]{16})")
_KEY_ORDER = ("axis", "position", "velocity", "receipt", "seal", "lines", "sha256")
_RECORD_KEYS = frozenset(_KEY_ORDER[:4])
_SEAL_KEYS = frozenset(_KEY_ORDER[4:])
# A message shorter than 60 bytes is never a receipt's message, so no receipt
# tag can serve as this key, nor a seal as a receipt.
_SEAL_LABEL = b"kestrel receipt log seal"


class Record(NamedTuple):
    """One authorized action and its receipt, as a record line holds them."""

    axis: int
    position: float
    velocity: float
    receipt: bytes
    bare_nan: bool
    """True if a number was a bare ``NaN`` of an older writer, whose bits were not kept."""


class Seal(NamedTuple):
    """What a seal line claims: the count and digest of the lines before it, and its tag."""

    lines: int
    sha256: bytes
    tag: bytes


def _bits(x: float) -> int:
    return int.from_bytes(struct.pack("<d", x), "little")


def _double(bits: int) -> float:
    return float(struct.unpack("<d", bits.to_bytes(8, "little"))[0])


def format_number(x: float) -> str:
    """The JSON text of a double, exact in every bit."""
    if math.isfinite(x):
        return repr(x)
    if math.isinf(x):
        return '"inf"' if x > 0 else '"-inf"'
    return f'"nan:{_bits(x):016x}"'


def format_record(axis: int, position: float, velocity: float, receipt: bytes) -> str:
    """The line of one action, without its newline."""
    if axis not in _INT32:
        raise OverflowError(f"axis {axis} does not fit in a signed 32-bit integer")
    if len(receipt) != _RECEIPT_BYTES:
        raise ValueError(f"a receipt is {_RECEIPT_BYTES} bytes, not {len(receipt)}")
    return (f'{{"axis": {axis}, "position": {format_number(position)}, '
            f'"velocity": {format_number(velocity)}, "receipt": "{receipt.hex()}"}}')


class _FloatText(str):
    """A JSON number with a fraction or exponent, kept as written until its spelling is checked."""


class _BareNaN(float):
    """A NaN that an older writer wrote as a bare ``NaN``, without its sign and payload."""


# The only floats the decoder hands out: its other numbers come as _FloatText or int.
_BARE = {"Infinity": math.inf, "-Infinity": -math.inf, "NaN": _BareNaN(_double(0x7FF8000000000000))}


class _Malformed(ValueError):
    """Raised from inside the JSON decoder, so that its text is not wrapped."""


def _unique(pairs: List[Tuple[str, object]]) -> Dict[str, object]:
    entry = dict(pairs)
    if len(entry) != len(pairs):
        seen = set()
        for key, _ in pairs:
            if key in seen:
                raise _Malformed(f"key {_show(key)} appears twice")
            seen.add(key)
    return entry


_DECODER = json.JSONDecoder(object_pairs_hook=_unique, parse_float=_FloatText, parse_constant=_BARE.__getitem__)


def _show(value: object) -> str:
    text = str(value) if isinstance(value, _FloatText) else repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _number(name: str, value: object) -> float:
    if type(value) is _FloatText:
        x = float(value)
        if math.isfinite(x) and repr(x) == value:
            return x
    elif type(value) is float or type(value) is _BareNaN:
        return float(value)
    elif type(value) is str:
        if value in ("inf", "-inf"):
            return float(value)
        match = _NAN_TEXT.fullmatch(value)
        if match and math.isnan(_double(int(match.group(1), 16))):
            return _double(int(match.group(1), 16))
    raise _Malformed(f'{name} {_show(value)} is not a double as a log writes one (shortest decimal, '
                     f'"inf", "-inf", or "nan:" and 16 hex digits of a NaN)')


def _hex(name: str, value: object, digits: int) -> bytes:
    if type(value) is not str or len(value) != digits or not _HEX.fullmatch(value):
        raise _Malformed(f"{name} is not {digits} lowercase hex digits")
    return bytes.fromhex(value)


def parse_line(content: bytes) -> Union[Record, Seal]:
    """The record or seal in one line (without its newline); ValueError says what is wrong."""
    if len(content) > MAX_LINE:
        raise ValueError(f"longer than {MAX_LINE} bytes")
    text = content.decode("utf-8")  # UnicodeDecodeError is a ValueError
    # The decoder recurses once per level; a log line has one level only.
    if text.count("{") + text.count("[") > 1:
        raise ValueError("nested JSON: a log line is one flat object")
    try:
        entry = _DECODER.decode(text)
    except _Malformed:
        raise
    except ValueError as error:
        raise ValueError(f"not JSON ({error})") from None
    if type(entry) is not dict:
        raise ValueError("not a JSON object")
    keys = entry.keys()
    if keys == _RECORD_KEYS:
        axis, position, velocity = entry["axis"], entry["position"], entry["velocity"]
        if type(axis) is not int or axis not in _INT32:
            raise ValueError(f"axis {_show(axis)} is not a 32-bit integer")
        return Record(axis, _number("position", position), _number("velocity", velocity),
                      _hex("receipt", entry["receipt"], 2 * _RECEIPT_BYTES),
                      type(position) is _BareNaN or type(velocity) is _BareNaN)
    if keys == _SEAL_KEYS:
        lines = entry["lines"]
        if type(lines) is not int or lines not in _U64:
            raise ValueError("lines is not an unsigned 64-bit integer")
        return Seal(lines, _hex("sha256", entry["sha256"], 64), _hex("seal", entry["seal"], 64))
    expected = _SEAL_KEYS if "seal" in keys else _RECORD_KEYS
    missing = ", ".join(key for key in _KEY_ORDER if key in expected - keys)
    unknown = ", ".join(_show(key) for key in keys - expected)
    raise ValueError("; ".join(([f"missing {missing}"] if missing else []) +
                               ([f"unknown key {unknown}"] if unknown else [])))


class Sealer:
    """The running count and SHA-256 of a log's lines, and the seal over them."""

    def __init__(self, key: bytes) -> None:
        self._key = hmac.new(key, _SEAL_LABEL, hashlib.sha256).digest()
        self._hash = hashlib.sha256()
        self.lines = 0

    def add(self, content: bytes) -> None:
        """Take in one line, without its newline."""
        self._hash.update(content + b"\n")
        self.lines += 1

    def _tag(self, lines: int, digest: bytes) -> bytes:
        return hmac.new(self._key, struct.pack("<Q", lines) + digest, hashlib.sha256).digest()

    def seal_line(self) -> str:
        """The seal over every line taken in so far, without its newline."""
        digest = self._hash.digest()
        return f'{{"seal": "{self._tag(self.lines, digest).hex()}", "lines": {self.lines}, "sha256": "{digest.hex()}"}}'

    def problem(self, seal: Seal) -> Optional[str]:
        """None if ``seal`` seals exactly the lines taken in so far, else what is wrong."""
        if not hmac.compare_digest(self._tag(seal.lines, seal.sha256), seal.tag):
            return "its tag does not match its count and digest (the key is wrong, or the seal was edited)"
        if seal.lines != self.lines:
            return f"it seals {seal.lines} lines but {self.lines} precede it (lines were removed or added)"
        if seal.sha256 != self._hash.digest():
            return "the lines before it are not the lines it sealed (a line was changed)"
        return None
