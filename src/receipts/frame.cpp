#include "receipts/frame.hpp"

#include <bit>
#include <cstring>

#include "receipts/hmac.hpp"

namespace kestrel {
namespace {

static_assert(std::endian::native == std::endian::little, "the frame's axis and doubles are little-endian");

// Byte offsets of the fields. Position and velocity sit side by side in
// signing order, so bytes 8..23 are the signed payload itself.
constexpr std::size_t kVersionAt = 0;    // 1 byte; 1..3 are reserved, zero
constexpr std::size_t kAxisAt = 4;       // int32
constexpr std::size_t kPositionAt = 8;   // double
constexpr std::size_t kVelocityAt = 16;  // double
constexpr std::size_t kReceiptAt = 24;   // the receipt's wire form
static_assert(kReceiptAt + KESTREL_RECEIPT_WIRE_LEN == FRAME_LEN &&
              sizeof(KestrelFrame::receipt) == KESTREL_RECEIPT_WIRE_LEN);

}  // namespace

FrameWire encode_frame(const KestrelFrame& frame) noexcept {
    FrameWire wire{};  // the reserved bytes stay zero
    wire[kVersionAt] = KESTREL_FRAME_VERSION;
    std::memcpy(wire.data() + kAxisAt, &frame.axis, sizeof frame.axis);
    std::memcpy(wire.data() + kPositionAt, &frame.position, sizeof frame.position);
    std::memcpy(wire.data() + kVelocityAt, &frame.velocity, sizeof frame.velocity);
    std::memcpy(wire.data() + kReceiptAt, frame.receipt, sizeof frame.receipt);
    return wire;
}

bool decode_frame(const FrameWire& wire, KestrelFrame& out) noexcept {
    if (wire[kVersionAt] != KESTREL_FRAME_VERSION || (wire[1] | wire[2] | wire[3]) != 0) return false;
    std::memcpy(&out.axis, wire.data() + kAxisAt, sizeof out.axis);
    std::memcpy(&out.position, wire.data() + kPositionAt, sizeof out.position);
    std::memcpy(&out.velocity, wire.data() + kVelocityAt, sizeof out.velocity);
    std::memcpy(out.receipt, wire.data() + kReceiptAt, sizeof out.receipt);
    return true;
}

}  // namespace kestrel

extern "C" {

KestrelError kestrel_frame_encode(const KestrelFrame* frame, std::uint8_t out[KESTREL_FRAME_LEN]) {
    if (frame == nullptr || out == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    const kestrel::FrameWire wire = kestrel::encode_frame(*frame);
    std::memcpy(out, wire.data(), wire.size());
    return KESTREL_OK;
}

KestrelError kestrel_frame_decode(const std::uint8_t frame[KESTREL_FRAME_LEN], KestrelFrame* out) {
    if (frame == nullptr || out == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    kestrel::FrameWire wire;
    std::memcpy(wire.data(), frame, wire.size());
    return kestrel::decode_frame(wire, *out) ? KESTREL_OK : KESTREL_ERROR_INVALID_FRAME;
}

}  // extern "C"
