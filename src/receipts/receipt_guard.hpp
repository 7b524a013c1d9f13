// receipt_guard: the receiving side's rule for one presented receipt, and the
// layout of the guard inside the caller's KestrelReceiptGuard storage.
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
#include "receipts/receipt.hpp"
#include "receipts/replay_gate.hpp"

namespace kestrel {

// What the opaque storage of a KestrelReceiptGuard holds. `live` tells an
// initialised guard from zeroed or never-initialised storage, so a check on
// the latter is refused instead of reading a replay gate that is not there.
struct GuardStorage {
    std::uint64_t live;        // kLive while `gate` holds a constructed object
    std::uint64_t max_age_ns;  // farthest a timestamp may lie from the clock; 0: any
    Clock clock;               // the maximum age's clock: the wall clock unless one was set
    alignas(ReplayGate) unsigned char gate[sizeof(ReplayGate)];
};
inline constexpr std::uint64_t kLive = 0x4b45535452454c47;  // "KESTRELG"

static_assert(sizeof(GuardStorage) <= KESTREL_RECEIPT_GUARD_SIZE, "the replay gate outgrew the published guard size");
static_assert(alignof(GuardStorage) <= KESTREL_RECEIPT_GUARD_ALIGN, "the replay gate needs a wider alignment");

// storage_of returns the guard's storage, or null when the pointer is null or
// misaligned. Whether it is live is the caller's question.
[[nodiscard]] const GuardStorage* storage_of(const KestrelReceiptGuard* guard) noexcept;
[[nodiscard]] GuardStorage* storage_of(KestrelReceiptGuard* guard) noexcept;

// gate_of returns the replay gate of a live guard.
[[nodiscard]] ReplayGate& gate_of(GuardStorage& s) noexcept;
[[nodiscard]] const ReplayGate& gate_of(const GuardStorage& s) noexcept;

// check_action applies the guard's rule to the 60-byte `receipt` presented for
// the action (axis, position, velocity) of a live guard: KESTREL_OK and the
// receipt accepted, or the first failing check's code with nothing changed.
[[nodiscard]] KestrelError check_action(GuardStorage& s, const std::uint8_t* receipt, std::int32_t axis,
                                        double position, double velocity) noexcept;

// check_action is the guard's rule without a maximum age, on a replay gate
// of the caller's (the receipt log's writer and verifier): KESTREL_OK and
// `receipt` accepted for the action (axis, position, velocity), or the first
// failing check's code with nothing changed.
[[nodiscard]] KestrelError check_action(ReplayGate& gate, const Receipt& receipt, std::int32_t axis, double position,
                                        double velocity) noexcept;

// wipe_storage destroys a live guard's gate (which wipes its key) and zeroes
// the whole storage, live or not.
void wipe_storage(KestrelReceiptGuard* guard, GuardStorage& s) noexcept;

}  // namespace kestrel
