/*
 * kestrel_receipt.h - checking receipts on the receiving side.
 *
 * A KestrelBoundary signs every action it authorizes with a 60-byte receipt
 * (wire form: nonce 12 bytes, timestamp_nanos u64 LE, sequence_id u64 LE,
 * HMAC-SHA-256 tag 32 bytes). Code beside the actuator, holding the same
 * 32-byte key, checks such a receipt against the action it is asked to carry
 * out (axis, position, velocity):
 *
 *   kestrel_receipt_verify      - is the tag right? Keeps no state.
 *   kestrel_receipt_guard_*     - is the tag right, and is this receipt newer
 *                                 than every one accepted before and its nonce
 *                                 not among the last 1024 accepted? Refuses
 *                                 replays, as the issuing boundary does.
 *
 * Every function returns a KestrelError (kestrel_error.h), KESTREL_OK on
 * success. A null or misaligned pointer is answered with
 * KESTREL_ERROR_INVALID_POINTER and nothing is read or written. Nothing
 * here allocates, blocks or writes outside its arguments.
 */
#ifndef KESTREL_RECEIPT_H
#define KESTREL_RECEIPT_H

#include "kestrel_base.h"
#include "kestrel_error.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KESTREL_RECEIPT_KEY_LEN 32
#define KESTREL_RECEIPT_WIRE_LEN 60

/* The fields of a receipt's wire form, read back by kestrel_receipt_parse. */
typedef struct KestrelReceiptFields {
    uint8_t nonce[12];        /* wire bytes 0..11 */
    uint64_t timestamp_nanos; /* wire bytes 12..19, little-endian; ns since the Unix epoch */
    uint64_t sequence_id;     /* wire bytes 20..27, little-endian */
    uint8_t tag[32];          /* wire bytes 28..59, HMAC-SHA-256 */
} KestrelReceiptFields;

/* kestrel_receipt_parse fills out with the fields of a 60-byte wire form and
 * returns KESTREL_OK (every 60-byte string parses; whether its tag is right
 * is for the verifier), or KESTREL_ERROR_INVALID_POINTER if either pointer is
 * null. */
KESTREL_API KestrelError kestrel_receipt_parse(const uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN],
                                           KestrelReceiptFields *out);

/* kestrel_receipt_verify returns KESTREL_OK iff receipt's tag is the HMAC-SHA-256
 * under key of the action "axis_<axis>" with payload (position, velocity) and
 * the receipt's nonce, timestamp and sequence id, exactly as the boundary
 * signs it; KESTREL_ERROR_AUTHENTICATION_FAILURE otherwise;
 * KESTREL_ERROR_INVALID_POINTER if key or receipt is null. Positions and
 * velocities are compared by their bits (0.0 and -0.0 differ). The tag is
 * compared in constant time; nothing else depends on secret data. Keeps no
 * replay state: the same receipt verifies every time. Any thread, any time. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_receipt_verify(const uint8_t key[KESTREL_RECEIPT_KEY_LEN],
                                            const uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN], int32_t axis,
                                            double position, double velocity);

/* ---- Replay guard ------------------------------------------------------ */

#define KESTREL_RECEIPT_GUARD_SIZE 16384
#define KESTREL_RECEIPT_GUARD_ALIGN 64

/* A receiver-side replay guard: the key, the last accepted sequence id and
 * the nonces of the last 1024 accepted receipts, in caller-provided storage
 * (static, stack, heap or shared memory; it holds no pointers). Opaque: touch
 * it only through the functions below. One thread at a time per guard; give
 * each stream its own guard, or serialise the calls. */
typedef struct KestrelReceiptGuard {
#ifdef __cplusplus
    alignas(KESTREL_RECEIPT_GUARD_ALIGN)
#else
    _Alignas(KESTREL_RECEIPT_GUARD_ALIGN)
#endif
        unsigned char opaque[KESTREL_RECEIPT_GUARD_SIZE];
} KestrelReceiptGuard;

/* kestrel_receipt_guard_init makes guard a fresh guard under key (no receipt
 * accepted yet) and returns KESTREL_OK; a guard that was live is wiped first. Returns
 * KESTREL_ERROR_INVALID_POINTER, touching nothing, if guard or key is null
 * or guard is not KESTREL_RECEIPT_GUARD_ALIGN-aligned. The key is copied in. */
KESTREL_API KestrelError kestrel_receipt_guard_init(KestrelReceiptGuard *guard,
                                                const uint8_t key[KESTREL_RECEIPT_KEY_LEN]);

/* kestrel_receipt_guard_check accepts receipt for the action (axis, position,
 * velocity) and returns KESTREL_OK, or refuses it with the first failing check:
 *   KESTREL_ERROR_REPLAY_COUNTER          sequence id not greater than the
 *                                            last accepted one (0 always is)
 *   KESTREL_ERROR_REPLAY_NONCE            nonce among the last 1024 accepted
 *   KESTREL_ERROR_AUTHENTICATION_FAILURE  tag wrong for that action and key
 * Only an acceptance changes the guard. Accepted sequence ids need not be
 * consecutive. The receipt's timestamp is authenticated but compared with no
 * clock. KESTREL_ERROR_INVALID_POINTER if guard or receipt is null, guard
 * is misaligned, or guard is not initialised (never, or wiped since). The tag
 * is compared in constant time; the nonce scan stops at a reused nonce. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_receipt_guard_check(KestrelReceiptGuard *guard,
                                                 const uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN], int32_t axis,
                                                 double position, double velocity);

/* kestrel_receipt_guard_wipe overwrites the whole guard, key included, with
 * zeros that the compiler cannot elide, and returns KESTREL_OK; checks then answer
 * KESTREL_ERROR_INVALID_POINTER until the next init. Call it before the
 * storage is released. KESTREL_ERROR_INVALID_POINTER for a null or
 * misaligned guard. */
KESTREL_API KestrelError kestrel_receipt_guard_wipe(KestrelReceiptGuard *guard);

/* The guard's size and alignment, for callers that allocate it through a
 * foreign-function interface: KESTREL_RECEIPT_GUARD_SIZE and _ALIGN. */
KESTREL_API size_t kestrel_receipt_guard_size(void);
KESTREL_API size_t kestrel_receipt_guard_alignment(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

KESTREL_LAYOUT_ASSERT(sizeof(KestrelReceiptFields) == 64 && offsetof(KestrelReceiptFields, timestamp_nanos) == 16 &&
                          offsetof(KestrelReceiptFields, sequence_id) == 24 && offsetof(KestrelReceiptFields, tag) == 32,
                      "KestrelReceiptFields layout is published");
KESTREL_LAYOUT_ASSERT(sizeof(KestrelReceiptGuard) == KESTREL_RECEIPT_GUARD_SIZE, "guard size is published");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(KestrelReceiptGuard) == KESTREL_RECEIPT_GUARD_ALIGN, "guard alignment is published");

#endif /* KESTREL_RECEIPT_H */
