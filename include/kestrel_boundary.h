/*
 * kestrel_boundary.h - signing actuator commands from C.
 *
 * A KestrelBoundary stands between a controlling program and its actuators.
 * For each command (axis, position, velocity) it applies a velocity limit
 * and a one-second rate limit, then signs the command: a sequence id (1, 2,
 * 3, ... in the order commands pass the rate limit), a fresh 12-byte random
 * nonce, the time (the wall clock's, or the caller's clock of
 * kestrel_boundary_new_with_clock), and an HMAC-SHA-256 tag under the
 * boundary's 32-byte key. The result is the 60-byte receipt of
 * kestrel_receipt.h, which the actuator side checks with
 * kestrel_receipt_verify or a replay guard (kestrel_receipt_guard_*) holding
 * the same key. The Python classes kestrel.KestrelBoundary and
 * kestrel.Boundary (which takes a clock) sign by the same rules and the same
 * code.
 *
 * The boundary owns operating-system resources (a lock, a mapped random
 * state), so it is a handle: made by kestrel_boundary_new (or _with_clock),
 * released by kestrel_boundary_free.
 *
 * The rate limit counts the commands that pass the velocity check, on every
 * axis together, in windows of one second of the boundary's wall clock
 * (CLOCK_REALTIME). A window opens with the first command whose clock
 * reading is a second or more after the current window's start, or earlier
 * than that start: a wall clock that steps back (an NTP step, a manual
 * setting) opens a new window, with a count of its own. So the promise is
 * per window: while the clock only goes forward, each window admits at most
 * rate_limit commands (the one that opens it always), and a second that
 * straddles two windows up to twice that; a clock that steps back opens
 * windows as often as it steps (one stepped back 1 ms before every call
 * admits every call).
 *
 * A boundary belongs to the process that made it. In a child of that process
 * (fork), every function that takes the boundary's lock
 * (kestrel_boundary_authorize, kestrel_boundary_rekey) refuses at once with
 * KESTREL_ERROR_FORKED, before it takes the lock: the lock may have been held
 * by another thread of the parent at the fork, and would then never be
 * released in the child. (A fork handler registered by the first
 * kestrel_boundary_new marks each child.) The child makes a boundary of its
 * own; it may free the inherited one (kestrel_boundary_free takes no lock).
 */
#ifndef KESTREL_BOUNDARY_H
#define KESTREL_BOUNDARY_H

#include "kestrel_base.h"
#include "kestrel_clock.h"
#include "kestrel_error.h"
#include "kestrel_joint_limiter.h" /* KestrelJointLimits, for the axes' own limits */

#ifdef __cplusplus
extern "C" {
#endif

/* One signing boundary. Opaque: use it only through the functions below. */
typedef struct KestrelBoundary KestrelBoundary;

/* kestrel_boundary_new makes a boundary that signs with key (32 bytes,
 * copied in; there is no default key), admits rate_limit commands per
 * one-second window of the wall clock, as above (every value is accepted;
 * with 0, only the command that opens a window after the first), and refuses a
 * command whose velocity is not within [-max_velocity, max_velocity] (every
 * value is accepted; a NaN or negative limit refuses every command). The
 * first window opens now, with no command counted.
 *
 * Returns the boundary, with KESTREL_OK in *error; or NULL, with
 * KESTREL_ERROR_INVALID_POINTER in *error when key is null, with
 * KESTREL_ERROR_ZERO_KEY when key is 32 zero bytes (a key anyone can guess),
 * or with KESTREL_ERROR_OUT_OF_MEMORY when the one allocation, made here,
 * fails.
 * error may be null. Any thread. */
KESTREL_API KestrelBoundary *kestrel_boundary_new(const uint8_t key[KESTREL_KEY_LEN], uint64_t rate_limit,
                                                  double max_velocity, KestrelError *error);

/* kestrel_boundary_new_with_clock makes a boundary as kestrel_boundary_new
 * does, which reads the time through clock, with context (kestrel_clock.h),
 * instead of the wall clock: once here, where the first window opens, and
 * once per command that passes the velocity check, a reading that serves both
 * the receipt's timestamp and the rate window. A reading below the last one
 * is taken as the last one, so with this clock a window never reopens and a
 * receipt is never dated before the one issued before it. A null clock is the
 * wall clock, exactly as kestrel_boundary_new (context is then not used),
 * whose readings are taken as they come. clock is called under the boundary's
 * lock. Returns and errors are those of kestrel_boundary_new. */
KESTREL_API KestrelBoundary *kestrel_boundary_new_with_clock(const uint8_t key[KESTREL_KEY_LEN], uint64_t rate_limit,
                                                             double max_velocity, KestrelClock clock, void *context,
                                                             KestrelError *error);

/* kestrel_boundary_rekey makes boundary sign with key (32 bytes, copied in)
 * from the next receipt on, and returns KESTREL_OK; the old key is wiped.
 * Everything else carries on: the sequence ids continue, and the rate window
 * and the nonces remembered stay. It takes the boundary's lock, so a
 * kestrel_boundary_authorize running at the same time signs wholly under one
 * key or the other. Returns, changing nothing:
 *   KESTREL_ERROR_INVALID_POINTER  boundary or key is null
 *   KESTREL_ERROR_FORKED           the calling process is a child of the one
 *                                  that made the boundary (above)
 *   KESTREL_ERROR_ZERO_KEY         key is 32 zero bytes
 * To rotate without a refused command, first give every receiver of the
 * stream the new key as its next key (kestrel_receipt_guard_add_key), then
 * rekey. Any thread. */
KESTREL_API KestrelError kestrel_boundary_rekey(KestrelBoundary *boundary, const uint8_t key[KESTREL_KEY_LEN]);

/* kestrel_boundary_set_axis_limits gives each axis 0..count-1 its own
 * limits, limits[axis] (as kestrel_joint_limiter_init takes them, in the order
 * of a robot description's joints; min_position, max_position and
 * max_velocity are used), and returns KESTREL_OK. From then on
 * kestrel_boundary_authorize also refuses, signing nothing:
 *   KESTREL_ERROR_POSITION_OUT_OF_RANGE  the position is not within its axis's
 *                                        [min_position, max_position] (a NaN
 *                                        never is), or the axis is not one of
 *                                        0..count-1 (it has no range)
 *   KESTREL_ERROR_VELOCITY_EXCEEDED      |velocity| <= its axis's max_velocity
 *                                        does not hold
 * on top of the boundary's own max_velocity. Count 0 takes the axes' limits
 * away (limits may then be null). The copy is taken under the boundary's
 * lock, so a kestrel_boundary_authorize running meanwhile is judged wholly by
 * the old or the new limits. Returns, changing nothing:
 *   KESTREL_ERROR_INVALID_POINTER   boundary is null, or limits with count > 0
 *   KESTREL_ERROR_FORKED            the calling process is a child of the
 *                                   one that made the boundary (above)
 *   KESTREL_ERROR_BAD_JOINT_COUNT   count above KESTREL_JOINT_LIMITER_MAX_JOINTS
 *   KESTREL_ERROR_BAD_LIMITS        limits kestrel_joint_limiter_check refuses
 *                                   (period 0)
 * Any thread. */
KESTREL_API KestrelError kestrel_boundary_set_axis_limits(KestrelBoundary *boundary, uint32_t count,
                                                          const KestrelJointLimits *limits);

/* kestrel_boundary_free wipes the boundary's key (with stores the compiler
 * cannot elide), releases its random state and its memory. NULL is a no-op.
 * No call on the boundary may be running or follow. */
KESTREL_API void kestrel_boundary_free(KestrelBoundary *boundary);

/* kestrel_boundary_authorize decides on one command to axis and, if it is
 * admitted, writes its 60-byte receipt (wire form of kestrel_receipt.h) and
 * returns KESTREL_OK. The first failing check ends the call, with receipt
 * untouched:
 *   KESTREL_ERROR_INVALID_POINTER      boundary or receipt is null
 *   KESTREL_ERROR_FORKED               the calling process is a child of the
 *                                      one that made the boundary (above);
 *                                      nothing is counted or changed
 *   KESTREL_ERROR_VELOCITY_EXCEEDED    |velocity| <= max_velocity does not hold
 *                                      (a NaN velocity never holds), or its
 *                                      axis's own max_velocity (below)
 *   KESTREL_ERROR_POSITION_OUT_OF_RANGE  with axis limits set
 *                                      (kestrel_boundary_set_axis_limits): the
 *                                      position outside its axis's limits
 *   KESTREL_ERROR_RATE_LIMITED         "action rate limit exceeded": this
 *                                      command would be more than rate_limit
 *                                      in the current window, counting the
 *                                      commands to every axis (above); the
 *                                      refused command is counted too
 *   KESTREL_ERROR_RANDOM_SOURCE        the operating system gave no nonce
 *   KESTREL_ERROR_REPLAY_NONCE         the nonce repeats one of the last 1024
 *                                      signed: a fault of the random source,
 *                                      caught by the replay check that every
 *                                      receipt passes before it is handed out
 * A command that passes the rate limit consumes a sequence id whatever
 * follows, so a refusal after it leaves a gap; velocity and rate refusals
 * consume none, nor do the refusals of axis limits. Without axis limits,
 * position is signed as given (NaN and infinities included). The receipt's action is "axis_<axis>" with
 * position and velocity bit for bit, as the receivers check it.
 *
 * Allocates nothing. Any number of threads may call it on one boundary at
 * once: the checks after the velocity run under the boundary's lock, and
 * sequence ids follow the order in which calls take it. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_boundary_authorize(KestrelBoundary *boundary, int32_t axis,
                                                                       double position, double velocity,
                                                                       uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN]);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_BOUNDARY_H */
