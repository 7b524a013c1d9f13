/*
 * kestrel_clock.h - a clock the caller keeps: simulated time, a shared
 * time base, a real-time clock the firmware owns.
 *
 * A boundary (kestrel_boundary_new_with_clock), a receipt guard
 * (kestrel_receipt_guard_set_clock) and a watchdog (kestrel_watchdog_init)
 * read the time through a KestrelClock where the caller gives one, and the
 * wall clock where it does not (a null clock). The boundary uses its
 * readings for the timestamps of its receipts and for its rate window alike;
 * the guard for the maximum age; the watchdog for its timeout.
 *
 * Time read through a KestrelClock never goes back: each object that reads
 * one keeps its last reading and takes a reading below it as that reading.
 * A simulated clock may therefore stand still or jump ahead, but a rate
 * window never reopens, a receipt is never dated before the one issued
 * before it, and a watchdog never counts backwards.
 */
#ifndef KESTREL_CLOCK_H
#define KESTREL_CLOCK_H

#include "kestrel_base.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Nanoseconds since the Unix epoch, read from wherever the caller keeps time.
 * Called with the context given alongside it, from the thread of the call
 * that reads the time (under the boundary's lock for a boundary), at most
 * once per such call. It must not fail, block, or call back into the object
 * that reads it. */
typedef uint64_t (*KestrelClock)(void *context);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_CLOCK_H */
