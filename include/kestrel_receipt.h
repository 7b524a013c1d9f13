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
 *                                 replays, as the issuing boundary does, and,
 *                                 given a maximum age, receipts out of date.
 *                                 kestrel_receipt_guard_check_frame takes the
 *                                 action and receipt as one command frame
 *                                 (kestrel_frame.h).
 *
 * Every function returns a KestrelError (kestrel_error.h), KESTREL_OK on
 * success. A null or misaligned pointer is answered with
 * KESTREL_ERROR_INVALID_POINTER and nothing is read or written. Nothing
 * here allocates, blocks or writes outside its arguments.
 */
#ifndef KESTREL_RECEIPT_H
#define KESTREL_RECEIPT_H

#include "kestrel_base.h"
#include "kestrel_clock.h"
#include "kestrel_error.h"
#include "kestrel_frame.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The older name of KESTREL_KEY_LEN (kestrel_base.h), kept for the
 * receivers written with it. */
#define KESTREL_RECEIPT_KEY_LEN KESTREL_KEY_LEN

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
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_receipt_verify(const uint8_t key[KESTREL_KEY_LEN],
                                                                   const uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN],
                                                                   int32_t axis, double position, double velocity);

/* ---- Replay guard ------------------------------------------------------ */

#define KESTREL_RECEIPT_GUARD_SIZE  16384
#define KESTREL_RECEIPT_GUARD_ALIGN 64

/* A receiver-side replay guard: the key (and, during a key rotation, the
 * next key), the last accepted sequence id, the nonces of the last 1024
 * accepted receipts and the maximum age, in
 * caller-provided storage (static, stack, heap or shared memory; it holds no
 * pointers until a clock is set). Opaque: touch it only through the functions below. One thread
 * at a time per guard; give each stream its own guard, or serialise the
 * calls. */
typedef struct KestrelReceiptGuard {
#ifdef __cplusplus
    alignas(KESTREL_RECEIPT_GUARD_ALIGN)
#else
    _Alignas(KESTREL_RECEIPT_GUARD_ALIGN)
#endif
        unsigned char opaque[KESTREL_RECEIPT_GUARD_SIZE];
} KestrelReceiptGuard;

/* kestrel_receipt_guard_init makes guard a fresh guard under key (no receipt
 * accepted yet, no maximum age, no next key) and returns KESTREL_OK; a guard that was live
 * is wiped first. Returns KESTREL_ERROR_INVALID_POINTER, touching nothing,
 * if guard or key is null or guard is not KESTREL_RECEIPT_GUARD_ALIGN-aligned.
 * The key is copied in. */
KESTREL_API KestrelError kestrel_receipt_guard_init(KestrelReceiptGuard *guard, const uint8_t key[KESTREL_KEY_LEN]);

/* kestrel_receipt_guard_resume makes guard a guard under key that carries on
 * after a restart: as if it had last accepted sequence id last_sequence_id, it
 * refuses every receipt whose sequence id is at most that one
 * (KESTREL_ERROR_REPLAY_COUNTER), and it remembers no nonce. Returns
 * KESTREL_OK; a guard that was live is wiped first. resume with 0 is init.
 * The pointer rules and return values are those of kestrel_receipt_guard_init.
 *
 * For a receiver that must keep refusing old receipts across restarts: after
 * each accepted check, store kestrel_receipt_guard_last_sequence_id durably
 * (flash, a file) before acting on the command, and resume from the stored
 * value at start-up. A receipt accepted after the value last stored could be
 * replayed after a restart. */
KESTREL_API KestrelError kestrel_receipt_guard_resume(KestrelReceiptGuard *guard, const uint8_t key[KESTREL_KEY_LEN],
                                                      uint64_t last_sequence_id);

/* kestrel_receipt_guard_last_sequence_id writes to *last_sequence_id the
 * sequence id of the last receipt guard accepted (or the one it was resumed
 * from; 0 for a fresh guard) and returns KESTREL_OK. Changes nothing.
 * KESTREL_ERROR_INVALID_POINTER, writing nothing, if guard or
 * last_sequence_id is null, guard is misaligned or guard is not initialised. */
KESTREL_API KestrelError kestrel_receipt_guard_last_sequence_id(const KestrelReceiptGuard *guard,
                                                                uint64_t *last_sequence_id);

/* kestrel_receipt_guard_check accepts receipt for the action (axis, position,
 * velocity) and returns KESTREL_OK, or refuses it with the first failing check:
 *   KESTREL_ERROR_REPLAY_COUNTER          sequence id not greater than the
 *                                            last accepted one (0 always is)
 *   KESTREL_ERROR_REPLAY_NONCE            nonce among the last 1024 accepted
 *   KESTREL_ERROR_AUTHENTICATION_FAILURE  tag wrong for that action under the
 *                                            current key and, if the guard
 *                                            holds one, the next key
 *   KESTREL_ERROR_STALE_RECEIPT           only with a maximum age set (see
 *                                            kestrel_receipt_guard_set_max_age):
 *                                            the authentic timestamp is further
 *                                            from the receiver's clock than that
 * Only an acceptance changes the guard; an acceptance under the next key
 * makes it the current key (kestrel_receipt_guard_add_key). Accepted
 * sequence ids need not be consecutive. KESTREL_ERROR_INVALID_POINTER if guard or receipt is null, guard
 * is misaligned, or guard is not initialised (never, or wiped since). The tag
 * is compared in constant time; the nonce look-up (a hash index of the
 * remembered nonces) stops at a reused nonce. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_receipt_guard_check(KestrelReceiptGuard *guard,
                                                                        const uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN],
                                                                        int32_t axis, double position, double velocity);

/* kestrel_receipt_guard_check_frame decodes an 84-byte command frame
 * (kestrel_frame.h) and checks its receipt for its own action, as
 * kestrel_receipt_guard_check does, so that the action carried out is
 * exactly the one that was signed. Returns KESTREL_OK and, if out is not
 * null, writes the accepted action and receipt to *out. Otherwise returns
 * KESTREL_ERROR_INVALID_FRAME (the frame's version or reserved bytes are
 * wrong; nothing else is checked) or the refusal of
 * kestrel_receipt_guard_check, and writes nothing to out. Pointer rules,
 * state change and timing are those of kestrel_receipt_guard_check; out may
 * be null. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_receipt_guard_check_frame(KestrelReceiptGuard *guard,
                                                                              const uint8_t frame[KESTREL_FRAME_LEN],
                                                                              KestrelFrame *out);

/* kestrel_receipt_guard_add_key gives guard the next key of a key rotation
 * and returns KESTREL_OK. From then on a receipt whose tag is wrong under the
 * current key is checked under the next key too; the first receipt accepted
 * under the next key makes it the current key, and the old key is wiped:
 * later receipts under it are refused like any wrong tag
 * (KESTREL_ERROR_AUTHENTICATION_FAILURE). The last sequence id and the
 * remembered nonces carry across the switch, so the rules against replay
 * span it. A next key given before and not yet used is replaced (and wiped):
 * a guard holds at most two keys (kestrel_receipt_guard_key_count). The
 * guard's current key given as the next key is no rotation: the guard is left
 * with that one key (count 1; a next key given before is dropped, as any call
 * replaces it), where it would otherwise wait for ever for a first receipt
 * under a key that already is the current one. The key
 * is copied in. Returns, changing nothing:
 *   KESTREL_ERROR_INVALID_POINTER  guard or key is null, or guard is
 *                                  misaligned or not initialised
 *   KESTREL_ERROR_ZERO_KEY         key is 32 zero bytes, a key anyone can guess
 * Checking a receipt under both keys costs a second tag only for a receipt
 * that fails under the current key, so the time of a refusal tells whether
 * the guard holds a next key (not which). init and resume forget the next key. */
KESTREL_API KestrelError kestrel_receipt_guard_add_key(KestrelReceiptGuard *guard, const uint8_t key[KESTREL_KEY_LEN]);

/* kestrel_receipt_guard_key_count writes to *count how many keys guard holds
 * (1, or 2 from kestrel_receipt_guard_add_key until the first receipt accepted
 * under the next key) and returns KESTREL_OK. Changes nothing.
 * KESTREL_ERROR_INVALID_POINTER, writing nothing, if guard or count is null,
 * or guard is misaligned or not initialised. */
KESTREL_API KestrelError kestrel_receipt_guard_key_count(const KestrelReceiptGuard *guard, uint32_t *count);

/* kestrel_receipt_guard_set_max_age sets how far, in nanoseconds and in
 * either direction, a receipt's timestamp may lie from the receiver's wall
 * clock (CLOCK_REALTIME, read once per check that gets that far), or from the
 * clock given to kestrel_receipt_guard_set_clock, and returns
 * KESTREL_OK. From then on a receipt whose tag is right but which is older
 * than max_age_ns, or dated more than max_age_ns ahead, is refused with
 * KESTREL_ERROR_STALE_RECEIPT and leaves the guard unchanged; exactly
 * max_age_ns either way is accepted. 0, the default after init, turns the
 * rule off. Choose it above the longest delivery delay plus the clock offset
 * between the two machines: the boundary dates receipts by its own clock.
 * Takes effect from the next check; changes nothing else.
 * KESTREL_ERROR_INVALID_POINTER if guard is null, misaligned or not
 * initialised. */
KESTREL_API KestrelError kestrel_receipt_guard_set_max_age(KestrelReceiptGuard *guard, uint64_t max_age_ns);

/* kestrel_receipt_guard_set_clock makes guard judge the maximum age against
 * clock, read with context (kestrel_clock.h), in place of the receiver's
 * wall clock, and returns KESTREL_OK; a null clock goes back to the wall
 * clock (context is then not used). Readings of a caller's clock below the
 * last one are taken as the last one. The clock is read once per check that
 * reaches the age rule, from the thread of that check. Once a clock is set,
 * the guard holds its function pointer and context, so it is valid only in
 * the process that set it. init and resume go back to the wall clock.
 * KESTREL_ERROR_INVALID_POINTER if guard is null, misaligned or not
 * initialised. */
KESTREL_API KestrelError kestrel_receipt_guard_set_clock(KestrelReceiptGuard *guard, KestrelClock clock, void *context);

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

/* ---- On a microcontroller ------------------------------------------------ */

/* Not in this library: where libkestrel_receiver.a is built for a target
 * without POSIX clocks (bare metal, the mcu preset), the firmware defines
 * kestrel_receiver_clock_ns, and a guard with a maximum age and a watchdog
 * (kestrel_watchdog.h) read their wall clock through it in place of
 * CLOCK_REALTIME, unless given a clock of their own: nanoseconds since the
 * Unix epoch, the scale of a receipt's timestamp_nanos, kept in step with the
 * signing boundary's clock. Called once per check that reaches the age rule
 * and once per watchdog call, from the thread of that call; it must not fail
 * or block. */
uint64_t kestrel_receiver_clock_ns(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

KESTREL_LAYOUT_ASSERT(sizeof(KestrelReceiptFields) == 64 && offsetof(KestrelReceiptFields, timestamp_nanos) == 16 &&
                          offsetof(KestrelReceiptFields, sequence_id) == 24 &&
                          offsetof(KestrelReceiptFields, tag) == 32,
                      "KestrelReceiptFields layout is published");
KESTREL_LAYOUT_ASSERT(sizeof(((KestrelFrame *)0)->receipt) == KESTREL_RECEIPT_WIRE_LEN, "a frame carries a receipt");
KESTREL_LAYOUT_ASSERT(sizeof(KestrelReceiptGuard) == KESTREL_RECEIPT_GUARD_SIZE, "guard size is published");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(KestrelReceiptGuard) == KESTREL_RECEIPT_GUARD_ALIGN,
                      "guard alignment is published");

#endif /* KESTREL_RECEIPT_H */
