#include "receipts/receipt.hpp"

#include <cstring>

#include "receipts/byte_order.hpp"

namespace kestrel {

using byte_order::load_le64;
using byte_order::store_le64;

ReceiptWire Receipt::to_wire() const noexcept {
    ReceiptWire wire;
    std::memcpy(wire.data(), nonce.data(), NONCE_LEN);
    store_le64(wire.data() + 12, timestamp_nanos);
    store_le64(wire.data() + 20, sequence_id);
    std::memcpy(wire.data() + 28, tag.data(), TAG_LEN);
    return wire;
}

Receipt Receipt::from_wire(const ReceiptWire& wire) noexcept {
    Receipt r;
    std::memcpy(r.nonce.data(), wire.data(), NONCE_LEN);
    r.timestamp_nanos = load_le64(wire.data() + 12);
    r.sequence_id = load_le64(wire.data() + 20);
    std::memcpy(r.tag.data(), wire.data() + 28, TAG_LEN);
    return r;
}

Receipt Receipt::from_bytes(const std::uint8_t* bytes) noexcept {
    ReceiptWire wire;
    std::memcpy(wire.data(), bytes, wire.size());
    return from_wire(wire);
}

}  // namespace kestrel
