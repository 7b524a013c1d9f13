// Creating KestrelReceipt objects from the boundary.
#pragma once

#include "receipts/action_id.hpp"
#include "receipts/hmac.hpp"
#include "py_ref.hpp"

namespace kestrel::py {

// new_receipt returns a new authorized KestrelReceipt for an accepted
// action, or nullptr with MemoryError set.
PyObject* new_receipt(const Receipt& receipt, const AxisActionId& action_id, const Payload& payload);

}  // namespace kestrel::py
