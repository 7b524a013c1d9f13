/*
 * kestrel_monitor.h - watching the robot's measured motion with the stop and
 * limit functions of drives: SLS, SLP, SS1, SS2, SOS and STO.
 *
 * The limiter shapes commands; the monitor judges what the joints actually
 * do. Feed it once a control period with the measured positions and
 * velocities of every joint (encoders, the drive's own estimate); it answers
 * with its state, and a loop acts on it:
 *
 *   KESTREL_MONITOR_RUN         go on; the controller's commands pass.
 *   KESTREL_MONITOR_STOPPING    something tripped: command a stop to the
 *                               limiter (a NaN desired velocity) in this very
 *                               period and every period after, as on a
 *                               watchdog's expiry (kestrel_watchdog.h).
 *   KESTREL_MONITOR_STANDSTILL  the SS2 stop came to rest: keep torque on and
 *                               hold position (SOS is watched).
 *   KESTREL_MONITOR_TORQUE_OFF  cut the torque (STO), now.
 *
 * In RUN, each check trips on the first joint (in index order) that
 *   - has a non-finite position or velocity (KESTREL_TRIP_MEASUREMENT: what
 *     cannot be judged trips);
 *   - moves faster than max_velocity * (1 + velocity_tolerance) (SLS);
 *   - stands beyond min_position or max_position by more than
 *     position_tolerance, or moves so that it can no longer stop within that
 *     band (SLP). "Can it still stop" is the joint limiter's own braking law
 *     (kestrel_joint_limiter.h) under the joint's acceleration and jerk
 *     limits, run from the measured velocity and the velocity change of the
 *     last period, with the period measured between the last two checks; so
 *     SLP trips early, while the joint can still stop before the limit, and a
 *     limiter's own motion never trips it. The first check after init has no
 *     period to measure: it judges the limits themselves.
 * kestrel_monitor_request_stop trips too (KESTREL_TRIP_REQUEST).
 *
 * A trip starts the configured stop (SS1 or SS2) from the state of the last
 * good measurement: STOPPING. While stopping, each joint's measured speed
 * must stay under a ramp: the braking law run from that state, period by
 * period (from the measured velocity change and, whichever is higher, from a
 * velocity change of 0, so that a deceleration in progress is not counted
 * on), plus velocity_tolerance * max_velocity. The ramp is the limiter's own
 * stop: a limiter given a stop request in the period of the trip stays under
 * it. Every joint must reach standstill_velocity by a deadline: the periods
 * the ramp takes to rest, times (1 + velocity_tolerance), plus 2. A speed
 * above the ramp, a missed deadline, a non-finite measurement or a position
 * beyond a limit by more than its tolerance is a second trip (SS1 or SS2,
 * KESTREL_TRIP_MEASUREMENT, SLP) and goes to TORQUE_OFF at once. A stop that
 * starts before the monitor has measured a period (a trip at the first check,
 * a request before the second) cannot be watched and goes to TORQUE_OFF at
 * once.
 *
 * Once every joint is under standstill_velocity, SS1 goes to TORQUE_OFF and
 * SS2 to STANDSTILL, which holds each joint within position_tolerance of
 * where it came to rest and under standstill_velocity (SOS); a joint that
 * leaves that window, or a non-finite measurement, goes to TORQUE_OFF.
 * TORQUE_OFF and STANDSTILL latch: only kestrel_monitor_acknowledge leaves
 * them, for RUN, and only when the last measurement has every joint under
 * standstill_velocity and inside its position limits (no tolerance).
 *
 * Every trip is kept: the first since the last acknowledge (status) and the
 * latest (kestrel_monitor_last_trip), each with the function, the joint, the
 * value measured (for SLP's stopping test: where the joint would come to
 * rest), the limit it broke (tolerance included) and the clock's reading.
 *
 * The time is read from the caller's clock (kestrel_clock.h) once per check
 * and request, or from the wall clock (CLOCK_REALTIME, or the firmware's
 * kestrel_receiver_clock_ns on a microcontroller) when the clock is null. A
 * check at the same reading as the one before (or earlier, a wall clock set
 * back) keeps the period measured before.
 *
 * What this is not: a software monitor in the same process as the
 * controller shares its processor, its memory and its failures; it mirrors
 * the timing and the checks of a drive's safety functions and makes every
 * trip visible, but it carries no SIL or PL rating. Wire TORQUE_OFF to the
 * drive's own STO input where there is one.
 *
 * The state lives in caller-provided storage of fixed size; nothing here
 * allocates or blocks, and a check costs a fixed number of operations per
 * joint (while stopping, one step of the law per period elapsed, at most
 * KESTREL_MONITOR_MAX_CATCH_UP per check). It holds the clock function and
 * its context, so it is valid only in the process that initialised it. One
 * thread at a time per monitor. Every function returns a KestrelError
 * (kestrel_error.h); a null, misaligned or uninitialised monitor, or a null
 * argument, is answered with KESTREL_ERROR_INVALID_POINTER and nothing is
 * read or written. A refused call changes nothing.
 *
 * Part of the chip library too (libkestrel_receiver.a): it belongs on the
 * actuator side. There it needs the firmware's sqrt, floor and ceil (libm).
 */
#ifndef KESTREL_MONITOR_H
#define KESTREL_MONITOR_H

#include "kestrel_base.h"
#include "kestrel_clock.h"
#include "kestrel_error.h"
#include "kestrel_joint_limiter.h" /* KestrelJointLimits, KESTREL_JOINT_LIMITER_MAX_JOINTS */

#ifdef __cplusplus
extern "C" {
#endif

#define KESTREL_MONITOR_SIZE  3712
#define KESTREL_MONITOR_ALIGN 8

/* A stop that has to catch up on more periods than this in one check (the
 * checks stopped coming while stopping) cannot be watched: TORQUE_OFF. */
#define KESTREL_MONITOR_MAX_CATCH_UP 65536

/* One monitor: the joints' limits, the last measurement, the stop in
 * progress and the trips. Opaque: touch it only through the functions below. */
typedef struct KestrelMonitor {
#ifdef __cplusplus
    alignas(KESTREL_MONITOR_ALIGN)
#else
    _Alignas(KESTREL_MONITOR_ALIGN)
#endif
        unsigned char opaque[KESTREL_MONITOR_SIZE];
} KestrelMonitor;

typedef uint32_t KestrelMonitorState;
enum {
    KESTREL_MONITOR_RUN = 0,        /* watching SLS and SLP */
    KESTREL_MONITOR_STOPPING = 1,   /* SS1 or SS2 in progress: the ramp and its deadline are watched */
    KESTREL_MONITOR_STANDSTILL = 2, /* SS2 at rest: SOS is watched; latches */
    KESTREL_MONITOR_TORQUE_OFF = 3  /* STO; latches */
};

typedef uint32_t KestrelMonitorStop; /* the stop taken on a trip */
enum { KESTREL_MONITOR_SS1 = 1, KESTREL_MONITOR_SS2 = 2 };

typedef uint32_t KestrelSafetyFunction; /* what tripped */
enum {
    KESTREL_TRIP_NONE = 0,
    KESTREL_TRIP_SLS = 1,        /* a speed above its limit */
    KESTREL_TRIP_SLP = 2,        /* a position beyond its limit, or a joint that can no longer stop before it */
    KESTREL_TRIP_SOS = 3,        /* a joint that left its standstill window after SS2 */
    KESTREL_TRIP_SS1 = 4,        /* an SS1 stop above its ramp or past its deadline */
    KESTREL_TRIP_SS2 = 5,        /* an SS2 stop above its ramp or past its deadline */
    KESTREL_TRIP_REQUEST = 6,    /* kestrel_monitor_request_stop */
    KESTREL_TRIP_MEASUREMENT = 7 /* a position or velocity that is not finite */
};

typedef struct KestrelMonitorConfig {
    double position_tolerance;  /* rad or m beyond a position limit before SLP trips (>= 0); the SOS window */
    double velocity_tolerance;  /* fraction of each joint's max_velocity (>= 0), for SLS and the stop ramp */
    double standstill_velocity; /* rad/s or m/s under which a joint counts as stopped (> 0) */
    KestrelMonitorStop stop;    /* KESTREL_MONITOR_SS1 or KESTREL_MONITOR_SS2 */
} KestrelMonitorConfig;

typedef struct KestrelTrip {
    KestrelSafetyFunction function; /* KESTREL_TRIP_NONE when nothing tripped */
    uint32_t joint;                 /* the joint that tripped (0 for a request) */
    double value;                   /* the measured value that broke the limit (NaN for a measurement trip) */
    double limit;                   /* the limit it broke (NaN for a measurement trip or a request) */
    uint64_t time_ns;               /* the monitor's clock at the trip */
} KestrelTrip;

/* kestrel_monitor_init makes monitor a fresh monitor in RUN of count joints
 * (1..KESTREL_JOINT_LIMITER_MAX_JOINTS) with limits[0..count-1] and config,
 * and returns KESTREL_OK. clock is the caller's clock, read with context;
 * null for the wall clock, and then context is not used.
 *
 * Refused, touching nothing: KESTREL_ERROR_INVALID_POINTER for a null,
 * misaligned monitor or a null limits or config; KESTREL_ERROR_BAD_JOINT_COUNT
 * for a count out of range; KESTREL_ERROR_BAD_LIMITS for limits the joint
 * limiter refuses (kestrel_joint_limiter_check with period 0) or an infinite
 * max_velocity or max_acceleration (the ramp needs both; positions and jerk
 * may be unlimited); KESTREL_ERROR_BAD_MONITOR_CONFIG for a tolerance that is
 * negative or not finite, a standstill_velocity that is not finite and > 0,
 * or a stop other than SS1 and SS2. A live monitor may be initialised again. */
KESTREL_API KestrelError kestrel_monitor_init(KestrelMonitor *monitor, uint32_t count, const KestrelJointLimits *limits,
                                              const KestrelMonitorConfig *config, KestrelClock clock, void *context);

/* kestrel_monitor_check_limits applies init's refusals of limits to
 * limits[0..count-1]: KESTREL_ERROR_BAD_JOINT_COUNT, or KESTREL_ERROR_BAD_LIMITS
 * with *fault naming the first joint, the field and the rule (as
 * kestrel_joint_limiter_check, plus "max_velocity must be finite..." and
 * "max_acceleration must be finite..."), or KESTREL_OK. Null limits or fault:
 * KESTREL_ERROR_INVALID_POINTER. Pure. */
KESTREL_API KestrelError kestrel_monitor_check_limits(uint32_t count, const KestrelJointLimits *limits,
                                                      KestrelJointFault *fault);

/* kestrel_monitor_check_config applies init's refusals of a config and
 * writes to *message null, or a static text naming the first field at fault
 * ("velocity_tolerance must be finite and >= 0"); returns KESTREL_OK or
 * KESTREL_ERROR_BAD_MONITOR_CONFIG. Null config or message:
 * KESTREL_ERROR_INVALID_POINTER. Pure. */
KESTREL_API KestrelError kestrel_monitor_check_config(const KestrelMonitorConfig *config, const char **message);

/* kestrel_monitor_check reads the clock, judges the measured
 * positions[0..count-1] and velocities[0..count-1] by the rules of the
 * current state (see the top of this file), writes the state after this
 * check to *state and returns KESTREL_OK. Non-finite values are not refused:
 * they trip. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_monitor_check(KestrelMonitor *monitor, const double *positions,
                                                                  const double *velocities,
                                                                  KestrelMonitorState *state);

/* kestrel_monitor_request_stop is an operator stop or a watchdog's expiry:
 * in RUN it trips as KESTREL_TRIP_REQUEST (joint 0, value and limit NaN) and
 * starts the stop from the last check's measurement, so command the stop to
 * the limiter in the same period; in any other state it changes nothing.
 * Returns KESTREL_OK. */
KESTREL_API KestrelError kestrel_monitor_request_stop(KestrelMonitor *monitor);

/* kestrel_monitor_acknowledge leaves TORQUE_OFF or STANDSTILL for RUN, and
 * forgets the trips, when the last check measured every joint finite, under
 * standstill_velocity and inside its position limits: *acknowledged = 1.
 * Otherwise *acknowledged = 0, the state is unchanged, and
 * kestrel_monitor_refusal says why. In RUN it writes 1 and changes nothing;
 * in STOPPING it refuses (the stop runs to its end). Returns KESTREL_OK. */
KESTREL_API KestrelError kestrel_monitor_acknowledge(KestrelMonitor *monitor, uint32_t *acknowledged);

/* kestrel_monitor_status writes the current state and the first trip since
 * the last acknowledge (function KESTREL_TRIP_NONE and the rest 0 if none);
 * either pointer may be null. */
KESTREL_API KestrelError kestrel_monitor_status(const KestrelMonitor *monitor, KestrelMonitorState *state,
                                                KestrelTrip *trip);

/* kestrel_monitor_last_trip writes the latest trip since the last
 * acknowledge: the first one, or a later one of the stop (SS1, SS2, SOS,
 * SLP, measurement) that went to TORQUE_OFF. */
KESTREL_API KestrelError kestrel_monitor_last_trip(const KestrelMonitor *monitor, KestrelTrip *trip);

/* kestrel_monitor_refusal writes why the last acknowledge refused, in the
 * form of a trip: KESTREL_TRIP_SS1 or SS2 while the stop runs (value and
 * limit NaN), KESTREL_TRIP_MEASUREMENT for a non-finite or missing
 * measurement, KESTREL_TRIP_SOS for a joint above standstill_velocity (value
 * its velocity, limit standstill_velocity), KESTREL_TRIP_SLP for a joint
 * outside its limits (value its position, limit the limit); function
 * KESTREL_TRIP_NONE if the last acknowledge was accepted or none was made. */
KESTREL_API KestrelError kestrel_monitor_refusal(const KestrelMonitor *monitor, KestrelTrip *why);

/* kestrel_safety_function_name returns "SLS", "SLP", "SOS", "SS1", "SS2",
 * "request", "measurement", "none" for KESTREL_TRIP_NONE, and NULL for an
 * unknown value. Static storage. */
KESTREL_API const char *kestrel_safety_function_name(KestrelSafetyFunction function);

/* kestrel_monitor_state_name returns "RUN", "STOPPING", "STANDSTILL",
 * "TORQUE_OFF", or NULL for an unknown value. Static storage. */
KESTREL_API const char *kestrel_monitor_state_name(KestrelMonitorState state);

#ifdef __cplusplus
} /* extern "C" */
#endif

KESTREL_LAYOUT_ASSERT(sizeof(KestrelMonitor) == KESTREL_MONITOR_SIZE, "monitor size is published");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(KestrelMonitor) == KESTREL_MONITOR_ALIGN, "monitor alignment is published");
KESTREL_LAYOUT_ASSERT(sizeof(KestrelTrip) == 32, "KestrelTrip is 32 bytes");
KESTREL_LAYOUT_ASSERT(sizeof(KestrelMonitorConfig) == 32, "KestrelMonitorConfig is 32 bytes");

#endif /* KESTREL_MONITOR_H */
