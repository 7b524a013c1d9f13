// The instance layout of _kestrel.KestrelReceipt, written once for the two
// modules that make receipts: _kestrel for KestrelBoundary, kestrel._native
// for kestrel.Boundary, which allocates objects of the very class it imports
// from _kestrel (and checks at import that the sizes agree).
#pragma once

#include "py_ref.hpp"
#include "receipts/action_id.hpp"
#include "receipts/receipt.hpp"

namespace kestrel::py {

struct ReceiptObject {
    PyObject_HEAD
    bool is_authorized;
    std::uint64_t sequence_id;
    std::uint64_t timestamp_nanos;
    ReceiptWire wire;        // nonce, timestamp, sequence id, tag: what receipt_hash returns
    Payload payload;         // requested position, commanded velocity (little-endian doubles)
    AxisActionId action_id;  // "axis_<n>", held inline
};

// new_receipt_of returns a new authorized receipt of `type` (KestrelReceipt)
// for an accepted action, or nullptr with MemoryError set.
inline PyObject* new_receipt_of(PyTypeObject* type, const Receipt& receipt, const AxisActionId& action_id,
                                const Payload& payload) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<ReceiptObject*>(self);
    object->is_authorized = true;
    object->sequence_id = receipt.sequence_id;
    object->timestamp_nanos = receipt.timestamp_nanos;
    object->wire = receipt.to_wire();
    object->payload = payload;
    object->action_id = action_id;
    return self;
}

}  // namespace kestrel::py
