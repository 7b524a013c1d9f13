/*
 * kestrel_watchdog.h - bringing the actuator side to rest when commands stop.
 *
 * The receiving side judges the commands that arrive; a watchdog judges the
 * silence between them. Feed it after each accepted command
 * (kestrel_receipt_guard_check_frame returned KESTREL_OK) and ask it once per
 * control period whether it has expired: it has once no feed came for its
 * timeout. A dead link, a hung controller and a stream of refused frames
 * look alike to it.
 *
 * What to do on expiry: send the actuator side's own joint limiter
 * (kestrel_joint_limiter.h) a stop request, a NaN desired velocity, every
 * period until the next feed. The limiter then brakes each joint to rest
 * within its jerk, acceleration, velocity and position limits, from whatever
 * state the last command left, instead of holding the last velocity. When
 * commands return the limiter takes the joint from where it stands, by the
 * same limits:
 *
 *     if (kestrel_receipt_guard_check_frame(&guard, bytes, &frame) == KESTREL_OK) {
 *         desired[frame.axis] = frame.velocity;
 *         (void)kestrel_watchdog_feed(&watchdog);
 *     }
 *     uint32_t expired = 0;
 *     (void)kestrel_watchdog_expired(&watchdog, &expired);
 *     if (expired) for (j = 0; j < joints; ++j) desired[j] = NAN;
 *     (void)kestrel_joint_limiter_limit(&limiter, desired, limited, NULL);
 *
 * Choose the timeout above the longest gap between commands that the link
 * and the controller allow in normal running (a few control periods); the
 * joint then comes to rest within the timeout plus its braking time.
 *
 * The state lives in caller-provided storage of fixed size; nothing here
 * allocates or blocks. It holds the clock function and its context, so it is
 * valid only in the process that initialised it. One thread at a time per
 * watchdog: serialise feed and expired if they run on different threads.
 * Every function returns a KestrelError (kestrel_error.h); a null, misaligned
 * or uninitialised watchdog, or a null argument, is answered with
 * KESTREL_ERROR_INVALID_POINTER and nothing is read or written.
 *
 * Unlike the rest of the receiving side this header is part of the chip
 * library too (libkestrel_receiver.a), where the wall clock is the firmware's
 * kestrel_receiver_clock_ns (kestrel_receipt.h).
 */
#ifndef KESTREL_WATCHDOG_H
#define KESTREL_WATCHDOG_H

#include "kestrel_base.h"
#include "kestrel_clock.h"
#include "kestrel_error.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KESTREL_WATCHDOG_SIZE  64
#define KESTREL_WATCHDOG_ALIGN 8

/* One watchdog: its timeout, the time of the last feed and its clock.
 * Opaque: touch it only through the functions below. */
typedef struct KestrelWatchdog {
#ifdef __cplusplus
    alignas(KESTREL_WATCHDOG_ALIGN)
#else
    _Alignas(KESTREL_WATCHDOG_ALIGN)
#endif
        unsigned char opaque[KESTREL_WATCHDOG_SIZE];
} KestrelWatchdog;

/* kestrel_watchdog_init makes watchdog a fresh watchdog that expires once
 * timeout_ns nanoseconds pass without a feed, and returns KESTREL_OK. It
 * reads the clock once: a fresh watchdog counts from init, as if fed then.
 * clock is the caller's clock, read with context (kestrel_clock.h); null for
 * the receiver's wall clock (CLOCK_REALTIME, or kestrel_receiver_clock_ns on
 * a microcontroller), and then context is not used.
 *
 * Returns KESTREL_ERROR_BAD_TIMEOUT for a timeout_ns of 0, and
 * KESTREL_ERROR_INVALID_POINTER if watchdog is null or not
 * KESTREL_WATCHDOG_ALIGN-aligned; both touch nothing. A live watchdog may be
 * initialised again. */
KESTREL_API KestrelError kestrel_watchdog_init(KestrelWatchdog *watchdog, uint64_t timeout_ns, KestrelClock clock,
                                               void *context);

/* kestrel_watchdog_feed records the clock's reading as the time of the last
 * accepted command and returns KESTREL_OK. Call it after each command the
 * receiving side accepted, never for a refused one. An expired watchdog is
 * no longer expired after a feed. */
KESTREL_API KestrelError kestrel_watchdog_feed(KestrelWatchdog *watchdog);

/* kestrel_watchdog_expired reads the clock and writes to *expired 1 if at
 * least timeout_ns nanoseconds passed since the last feed (or init), else 0,
 * and returns KESTREL_OK. A caller's clock never goes back; the wall clock
 * may be set back, and a reading before the last feed then counts as expired
 * too, so that a step of the clock either way stops the joint rather than
 * letting it run on. Changes nothing but the clock's last reading. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_watchdog_expired(KestrelWatchdog *watchdog, uint32_t *expired);

#ifdef __cplusplus
} /* extern "C" */
#endif

KESTREL_LAYOUT_ASSERT(sizeof(KestrelWatchdog) == KESTREL_WATCHDOG_SIZE, "watchdog size is published");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(KestrelWatchdog) == KESTREL_WATCHDOG_ALIGN, "watchdog alignment is published");

#endif /* KESTREL_WATCHDOG_H */
