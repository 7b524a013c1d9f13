#include "receipts/receipt_guard.hpp"

#include "receipts/action_id.hpp"

namespace kestrel {
namespace {

// fresh is true iff timestamp_nanos lies within max_age_ns of the clock,
// either way, or there is no maximum age (0). Reads the clock only then.
bool fresh(std::uint64_t timestamp_nanos, std::uint64_t max_age_ns, Clock& clock) noexcept {
    if (max_age_ns == 0) return true;
    const std::uint64_t now = clock.now();
    const std::uint64_t distance = now >= timestamp_nanos ? now - timestamp_nanos : timestamp_nanos - now;
    return distance <= max_age_ns;
}

}  // namespace

KestrelError check_action(GuardState& s, const std::uint8_t* receipt, std::int32_t axis, double position,
                          double velocity) noexcept {
    ReplayGate& gate = s.gate;
    const Receipt presented = Receipt::from_bytes(receipt);
    const AxisActionId id = axis_action_id(axis);
    ReplayGate::KeySlot matched;
    if (const KestrelError e = gate.check(id.bytes(), axis_payload(position, velocity), presented, matched);
        e != KESTREL_OK) {
        return e;
    }
    if (!fresh(presented.timestamp_nanos, s.max_age_ns, s.clock)) return KESTREL_ERROR_STALE_RECEIPT;
    gate.accept(presented, matched);
    return KESTREL_OK;
}

KestrelError check_action(ReplayGate& gate, const Receipt& receipt, std::int32_t axis, double position,
                          double velocity) noexcept {
    return gate.check_and_accept(axis_action_id(axis).bytes(), axis_payload(position, velocity), receipt);
}

}  // namespace kestrel
