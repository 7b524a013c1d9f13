#include "receipts/receipt_guard.hpp"

#include <cstring>
#include <new>

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

const GuardStorage* storage_of(const KestrelReceiptGuard* guard) noexcept {
    if (guard == nullptr || reinterpret_cast<std::uintptr_t>(guard) % KESTREL_RECEIPT_GUARD_ALIGN != 0) return nullptr;
    return reinterpret_cast<const GuardStorage*>(guard->opaque);
}

GuardStorage* storage_of(KestrelReceiptGuard* guard) noexcept {
    return const_cast<GuardStorage*>(storage_of(static_cast<const KestrelReceiptGuard*>(guard)));
}

ReplayGate& gate_of(GuardStorage& s) noexcept { return *std::launder(reinterpret_cast<ReplayGate*>(s.gate)); }

const ReplayGate& gate_of(const GuardStorage& s) noexcept {
    return *std::launder(reinterpret_cast<const ReplayGate*>(s.gate));
}

KestrelError check_action(GuardStorage& s, const std::uint8_t* receipt, std::int32_t axis, double position,
                          double velocity) noexcept {
    ReplayGate& gate = gate_of(s);
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

void wipe_storage(KestrelReceiptGuard* guard, GuardStorage& s) noexcept {
    if (s.live == kLive) gate_of(s).~ReplayGate();  // wipes the key and its primed states
    wipe(guard->opaque, sizeof guard->opaque);
}

}  // namespace kestrel
