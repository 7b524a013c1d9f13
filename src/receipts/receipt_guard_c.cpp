// The C face of the receiving side (kestrel_receipt.h):
// a stateless verifier and a replay guard, which also takes command frames
// and may hold a maximum age. Both hash with the very code the boundary signs
// with (sign_receipt, ReplayGate), so the message layout and the replay
// rule exist once.
#include <cstdint>
#include <cstring>
#include <new>
#include <span>

#include "kestrel.h"
#include "receipts/action_id.hpp"
#include "receipts/hmac.hpp"
#include "receipts/frame.hpp"
#include "receipts/receipt_guard.hpp"
#include "receipts/replay_gate.hpp"

using namespace kestrel;

extern "C" {

KestrelError kestrel_receipt_parse(const std::uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN], KestrelReceiptFields* out) {
    if (receipt == nullptr || out == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    const Receipt r = Receipt::from_bytes(receipt);
    std::memcpy(out->nonce, r.nonce.data(), r.nonce.size());
    out->timestamp_nanos = r.timestamp_nanos;
    out->sequence_id = r.sequence_id;
    std::memcpy(out->tag, r.tag.data(), r.tag.size());
    return KESTREL_OK;
}

KestrelError kestrel_receipt_verify(const std::uint8_t key[KESTREL_KEY_LEN],
                                    const std::uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN], std::int32_t axis,
                                    double position, double velocity) {
    if (key == nullptr || receipt == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    const HmacKeyState primed(Key::from_bytes(key));  // the key's copy dies here, wiped
    return check_tag(primed, axis_action_id(axis).bytes(), axis_payload(position, velocity),
                     Receipt::from_bytes(receipt));
}

KestrelError kestrel_receipt_guard_init(KestrelReceiptGuard* guard, const std::uint8_t key[KESTREL_KEY_LEN]) {
    return kestrel_receipt_guard_resume(guard, key, 0);
}

KestrelError kestrel_receipt_guard_resume(KestrelReceiptGuard* guard, const std::uint8_t key[KESTREL_KEY_LEN],
                                          std::uint64_t last_sequence_id) {
    GuardStorage* s = storage_of(guard);
    if (s == nullptr || key == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    const Key k = Key::from_bytes(key);  // before the wipe: key may point into the guard
    wipe_storage(guard, *s);
    new (s->gate) ReplayGate(k, last_sequence_id);
    s->max_age_ns = 0;
    s->clock = Clock{};
    s->live = kLive;
    return KESTREL_OK;
}

KestrelError kestrel_receipt_guard_last_sequence_id(const KestrelReceiptGuard* guard, std::uint64_t* last_sequence_id) {
    const GuardStorage* s = storage_of(guard);
    if (s == nullptr || last_sequence_id == nullptr || s->live != kLive) return KESTREL_ERROR_INVALID_POINTER;
    *last_sequence_id = gate_of(*s).last_sequence_id();
    return KESTREL_OK;
}

KestrelError kestrel_receipt_guard_check(KestrelReceiptGuard* guard,
                                         const std::uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN], std::int32_t axis,
                                         double position, double velocity) {
    GuardStorage* s = storage_of(guard);
    if (s == nullptr || receipt == nullptr || s->live != kLive) return KESTREL_ERROR_INVALID_POINTER;
    return check_action(*s, receipt, axis, position, velocity);
}

KestrelError kestrel_receipt_guard_check_frame(KestrelReceiptGuard* guard, const std::uint8_t frame[KESTREL_FRAME_LEN],
                                               KestrelFrame* out) {
    GuardStorage* s = storage_of(guard);
    if (s == nullptr || frame == nullptr || s->live != kLive) return KESTREL_ERROR_INVALID_POINTER;
    FrameWire wire;
    std::memcpy(wire.data(), frame, wire.size());
    KestrelFrame action;
    if (!decode_frame(wire, action)) return KESTREL_ERROR_INVALID_FRAME;
    const KestrelError e = check_action(*s, action.receipt, action.axis, action.position, action.velocity);
    if (e == KESTREL_OK && out != nullptr) *out = action;
    return e;
}

KestrelError kestrel_receipt_guard_add_key(KestrelReceiptGuard* guard, const std::uint8_t key[KESTREL_KEY_LEN]) {
    GuardStorage* s = storage_of(guard);
    if (s == nullptr || key == nullptr || s->live != kLive) return KESTREL_ERROR_INVALID_POINTER;
    const Key k = Key::from_bytes(key);
    if (k.is_zero()) return KESTREL_ERROR_ZERO_KEY;
    gate_of(*s).add_key(k);
    return KESTREL_OK;
}

KestrelError kestrel_receipt_guard_key_count(const KestrelReceiptGuard* guard, std::uint32_t* count) {
    const GuardStorage* s = storage_of(guard);
    if (s == nullptr || count == nullptr || s->live != kLive) return KESTREL_ERROR_INVALID_POINTER;
    *count = static_cast<std::uint32_t>(gate_of(*s).key_count());
    return KESTREL_OK;
}

KestrelError kestrel_receipt_guard_set_max_age(KestrelReceiptGuard* guard, std::uint64_t max_age_ns) {
    GuardStorage* s = storage_of(guard);
    if (s == nullptr || s->live != kLive) return KESTREL_ERROR_INVALID_POINTER;
    s->max_age_ns = max_age_ns;
    return KESTREL_OK;
}

KestrelError kestrel_receipt_guard_set_clock(KestrelReceiptGuard* guard, KestrelClock clock, void* context) {
    GuardStorage* s = storage_of(guard);
    if (s == nullptr || s->live != kLive) return KESTREL_ERROR_INVALID_POINTER;
    s->clock = Clock{clock, context};
    return KESTREL_OK;
}

KestrelError kestrel_receipt_guard_wipe(KestrelReceiptGuard* guard) {
    GuardStorage* s = storage_of(guard);
    if (s == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    wipe_storage(guard, *s);
    return KESTREL_OK;
}

std::size_t kestrel_receipt_guard_size(void) { return sizeof(KestrelReceiptGuard); }

std::size_t kestrel_receipt_guard_alignment(void) { return alignof(KestrelReceiptGuard); }

}  // extern "C"
