// receipt: the sizes, value types and wire form of a receipt, the
// authenticated description of one actuator action.
//
// The wire form is 60 bytes: nonce at 0, timestamp_nanos at 12 and
// sequence_id at 20 (both u64 little-endian), tag at 28. How the tag is
// computed is hmac.hpp's business; this header only holds the record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "keys/key.hpp"

namespace kestrel {

inline constexpr std::size_t NONCE_LEN = 12;          // per-action random nonce
inline constexpr std::size_t TAG_LEN = 32;            // full HMAC-SHA-256 output, never truncated
inline constexpr std::size_t MAX_ACTION_ID_LEN = 64;  // 64 is hashed, 65 is refused
inline constexpr std::size_t PAYLOAD_LEN = 16;        // position and velocity, two LE doubles

static_assert(KESTREL_RECEIPT_WIRE_LEN == NONCE_LEN + 8 + 8 + TAG_LEN, "nonce, timestamp, sequence id, tag");

using Nonce = std::array<std::uint8_t, NONCE_LEN>;
using Tag = std::array<std::uint8_t, TAG_LEN>;
using Payload = std::array<std::uint8_t, PAYLOAD_LEN>;
using ReceiptWire = std::array<std::uint8_t, KESTREL_RECEIPT_WIRE_LEN>;

// Receipt: the authenticated description of one action. A plain value.
struct Receipt {
    Nonce nonce{};                    // random per action
    std::uint64_t timestamp_nanos{};  // wall clock at issue, ns since the Unix epoch
    std::uint64_t sequence_id{};      // the action's sequence number
    Tag tag{};                        // HMAC-SHA-256 over the message above

    // to_wire returns the 60-byte wire form: nonce at 0, timestamp_nanos at 12
    // and sequence_id at 20 (both u64 little-endian), tag at 28. No gaps.
    [[nodiscard]] ReceiptWire to_wire() const noexcept;

    // from_wire reads a receipt back from its wire form; every 60-byte string
    // is a well-formed receipt (whether its tag is right is another matter).
    [[nodiscard]] static Receipt from_wire(const ReceiptWire& wire) noexcept;

    // from_bytes is from_wire of the KESTREL_RECEIPT_WIRE_LEN bytes at `bytes`, which
    // the caller vouches for (a C caller's 60-byte array).
    [[nodiscard]] static Receipt from_bytes(const std::uint8_t* bytes) noexcept;
};

}  // namespace kestrel
