// Creating KestrelReceipt objects from the boundary.
#pragma once

#include <cstdint>
#include <string_view>

#include "kestrel/crypto.hpp"
#include "py_ref.hpp"

namespace kestrel::py {

// new_receipt returns a new authorized KestrelReceipt for an accepted
// action, or nullptr with MemoryError set.
PyObject* new_receipt(const Receipt& receipt, std::string_view action_id, const Payload& payload);

}  // namespace kestrel::py
