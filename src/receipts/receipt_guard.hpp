// receipt_guard: the receiving side's rule for one presented receipt, and
// what the guard holds in the caller's KestrelReceiptGuard storage.
//
// The rule: the replay gate's checks (sequence id, nonce, tag under the
// current key and, during a rotation, the next), then the age of a receipt
// known to be authentic, then the acceptance (which makes a next key that the
// tag matched the current key). The C face
// (receipt_guard_c.cpp) checks pointers and initialisation and calls it.
#pragma once

#include <cstdint>

#include "clock/clock.hpp"
#include "kestrel_receipt.h"
#include "placement/placed.hpp"
#include "receipts/receipt.hpp"
#include "receipts/replay_gate.hpp"

namespace kestrel {

// What a KestrelReceiptGuard holds, placed in the caller's storage.
struct GuardState {
    ReplayGate gate;              // checks and accepts receipts; holds the keys
    std::uint64_t max_age_ns{0};  // farthest a timestamp may lie from the clock; 0: any
    Clock clock{};                // the maximum age's clock: the wall clock unless one was set

    GuardState(const Key& key, std::uint64_t last_sequence_id) noexcept : gate(key, last_sequence_id) {}
};
inline constexpr std::uint64_t kGuardMark = 0x4b45535452454c47;  // "KESTRELG"
using PlacedGuard = Placed<GuardState, KestrelReceiptGuard, KESTREL_RECEIPT_GUARD_ALIGN, kGuardMark>;

// check_action applies the guard's rule to the 60-byte `receipt` presented for
// the action (axis, position, velocity) of a live guard: KESTREL_OK and the
// receipt accepted, or the first failing check's code with nothing changed.
[[nodiscard]] KestrelError check_action(GuardState& s, const std::uint8_t* receipt, std::int32_t axis, double position,
                                        double velocity) noexcept;

// check_action is the guard's rule without a maximum age, on a replay gate
// of the caller's (the receipt log's writer and verifier): KESTREL_OK and
// `receipt` accepted for the action (axis, position, velocity), or the first
// failing check's code with nothing changed.
[[nodiscard]] KestrelError check_action(ReplayGate& gate, const Receipt& receipt, std::int32_t axis, double position,
                                        double velocity) noexcept;

}  // namespace kestrel
