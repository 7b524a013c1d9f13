// The arguments that the receipt functions share: a key, a receipt with the
// action it is checked against, and a command frame. One rule for each
// length, here: a receipt that is not 60 bytes long is refused with
// KestrelViolation "invalid_receipt", a frame that is not 84 bytes long with
// "invalid_frame", like any other receipt or frame the checks refuse.
#pragma once

#include <cstdint>

#include "convert.hpp"
#include "keys/key.hpp"
#include "native.hpp"

namespace kestrel::py::native {

// convert_key reads a 32-byte key (any bytes-like object) into the core's
// self-wiping Key; another length is refused with ValueError
// "<argument>: key must be 32 bytes".
bool convert_key(const Signature& sig, std::size_t index, PyObject* obj, Key& out);

// receipt_wire copies a 60-byte receipt out of its buffer, or raises the
// "invalid_receipt" refusal for `axis`.
bool receipt_wire(const ByteBuffer& receipt, std::int32_t axis, std::uint8_t (&wire)[KESTREL_RECEIPT_WIRE_LEN]);

// A receipt and its action, as ReceiptGuard.check and verify_receipt take them.
struct Action {
    std::uint8_t wire[KESTREL_RECEIPT_WIRE_LEN];
    std::int32_t axis;
    double position;
    double velocity;
};

// convert_action converts slots[first..first+3] (receipt, axis, position,
// velocity) in that order, then applies the length rule.
bool convert_action(const Signature& sig, std::size_t first, PyObject* const* slots, Action& out);

// convert_frame converts a frame argument (any bytes-like object) and
// decodes it into out, or raises: the argument's TypeError, or the
// "invalid_frame" refusal (axis 0: nothing in a refused frame is believed)
// for a frame that is not 84 bytes long or does not decode.
bool convert_frame(const Signature& sig, std::size_t index, PyObject* obj, KestrelFrame& out);

// new_frame returns a new Frame of a decoded or accepted frame.
PyObject* new_frame(const KestrelFrame& frame);

}  // namespace kestrel::py::native
