/*
 * kestrel_joint_limiter.h - per-joint kinematic limits at the control rate.
 *
 * A joint limiter turns one desired velocity per joint, once per control
 * period dt, into the velocity to command. For every joint it keeps the last
 * commanded position p, velocity v and acceleration a, and returns v', the
 * value nearest to the desired one inside the intersection of
 *
 *   velocity      |v'| <= max_velocity
 *   acceleration  |v' - v| <= max_acceleration * dt
 *   jerk          |(v' - v)/dt - a| <= max_jerk * dt
 *   position      min_position <= p + v' dt <= max_position
 *   braking       from p + v' dt the joint can still stop inside the position
 *                 limits, slowing by max_acceleration * dt every period
 *
 * Braking uses the discrete stopping distance. With D = max_acceleration * dt
 * and v' >= 0 the joint commands v' - D, v' - 2D, ... and then 0, so
 *
 *   S(v') = dt * sum_{k=1..n} (v' - k D),   n = floor(v' / D)
 *
 * and the limit is p + v' dt + S(v') <= max_position (mirrored towards
 * min_position). Because (v' - D) dt + S(v' - D) = S(v'), slowing by D is
 * always allowed from a state this limiter produced: the acceleration limit
 * never has to give way for braking it asked for itself.
 *
 * When the limits cannot all hold (a state set by a reset, or braking that the
 * jerk limit would start too late) they give way in a fixed order: jerk first,
 * then acceleration; position, braking and velocity never. A limit that gives
 * way is not dropped: the interval becomes the one point of the stronger
 * limits nearest to it, so the velocity cannot jump. A miss no wider than
 * rounding (1e-9 of the limit's step per period plus a few ulps of the
 * position, per period) is taken as touching, not as giving way. The limits
 * that shaped each joint's result are reported as KESTREL_LIMIT_* flags: a
 * limit is flagged when the result sits at its end on the side the request
 * was cut from.
 *
 * A NaN or infinite desired velocity is a request to stop: it is treated as 0
 * and flagged. The limiter never returns a NaN. After each call
 *   p += v' dt,  a = (v' - v) / dt,  v = v'.
 * A position is kept inside its limits (and finite) even where the rounding of
 * p + v' dt would step an ulp beyond them.
 *
 * Numbers are double precision. The state lives in caller-provided storage
 * (KestrelJointLimiter) of fixed size; no call allocates, and calls on
 * distinct limiters may run concurrently. Every function returns a
 * KestrelError (kestrel_error.h); on any error nothing is written. Null or
 * misaligned storage, or storage that holds no initialised limiter, is
 * answered with KESTREL_ERROR_INVALID_POINTER, as is a null argument.
 *
 * Optional coupling of joints 0..3: up to four rows n_i . v' <= r_i on the
 * velocities (a LinearConstraints4, as for kestrel_solve_multivar_4d). After
 * the per-joint step the four results are projected onto the rows with that
 * single-precision solver, using each joint's allowed interval as its box.
 * The narrowing to float rounds every box inward (lower up, upper down) and
 * each solver lane is clamped back into the double interval afterwards, so the
 * per-joint limits hold exactly while the rows hold to single precision. A
 * lane the solver leaves at its input keeps its double value. When the solver
 * does not report Optimal or MaxIterations (whose iterate is feasible), the
 * per-joint results stand unchanged. The last Solution4 can be read back.
 */
#ifndef KESTREL_JOINT_LIMITER_H
#define KESTREL_JOINT_LIMITER_H

#include "kestrel.h" /* LinearConstraints4, Solution4 for the coupling */

#ifdef __cplusplus
extern "C" {
#endif

/* The largest number of joints one limiter holds. */
#define KESTREL_JOINT_LIMITER_MAX_JOINTS 32

/* Limits of one joint: positions in rad (or m), rates per second. An infinite
 * value means the limit is absent; min_position may be -INFINITY and the
 * others +INFINITY. */
typedef struct KestrelJointLimits {
    double min_position;
    double max_position;
    double max_velocity;     /* > 0 */
    double max_acceleration; /* > 0 */
    double max_jerk;         /* > 0 */
} KestrelJointLimits;

/* Why a joint's result is what it is: a bit set per joint and call. */
enum {
    KESTREL_LIMIT_POSITION = 1u << 0,     /* the position limit bounded the result */
    KESTREL_LIMIT_BRAKING = 1u << 1,      /* the stopping distance bounded it */
    KESTREL_LIMIT_VELOCITY = 1u << 2,     /* max_velocity bounded it */
    KESTREL_LIMIT_ACCELERATION = 1u << 3, /* max_acceleration bounded it */
    KESTREL_LIMIT_JERK = 1u << 4,         /* max_jerk bounded it */
    KESTREL_LIMIT_ACCELERATION_YIELDED = 1u << 5, /* it could not hold and gave way */
    KESTREL_LIMIT_JERK_YIELDED = 1u << 6,         /* it could not hold and gave way */
    KESTREL_LIMIT_STOP_REQUEST = 1u << 7, /* the desired value was NaN or infinite; 0 was used */
    KESTREL_LIMIT_COUPLING = 1u << 8      /* the coupling rows moved the result (added to the per-joint flags) */
};

/* Caller-placed storage of one limiter: KESTREL_JOINT_LIMITER_SIZE bytes,
 * 8-aligned, contents private. Initialise it with kestrel_joint_limiter_init
 * before any other call; it holds no pointers, so it may be copied. */
#define KESTREL_JOINT_LIMITER_SIZE 2560
typedef struct KestrelJointLimiter {
    uint64_t opaque[KESTREL_JOINT_LIMITER_SIZE / 8];
} KestrelJointLimiter;

/* kestrel_joint_limiter_size returns sizeof(KestrelJointLimiter), for callers
 * (such as ctypes) that place the storage without this header. */
KESTREL_API size_t kestrel_joint_limiter_size(void);

/* kestrel_joint_limiter_init sets up `count` joints with limits[0..count-1],
 * the period in seconds and the start positions[0..count-1] (velocities and
 * accelerations 0, no coupling). Refused: a null pointer, a bad count, bad
 * limits, a period that is not finite and positive, a position that is not
 * finite or outside its limits. On refusal the storage is not written. */
KESTREL_API KestrelError kestrel_joint_limiter_init(KestrelJointLimiter *limiter, uint32_t count,
                                                           const KestrelJointLimits *limits,
                                                           double period, const double *positions);

/* kestrel_joint_limiter_limit takes desired[0..count-1] (velocities) and
 * writes limited[0..count-1], then advances the state by one period. binding,
 * when not null, receives the KESTREL_LIMIT_* flags of each joint. desired
 * and limited may be the same array. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_joint_limiter_limit(KestrelJointLimiter *limiter, const double *desired,
                                                            double *limited, uint32_t *binding);

/* kestrel_joint_limiter_reset sets positions and velocities (velocities null
 * means all 0) and zeroes the accelerations and flags. Refused, with the
 * state unchanged: a position not finite or outside its limits, a velocity
 * that is not finite. A velocity beyond what the limits allow is accepted;
 * the next calls bring it back, the weaker limits giving way if they must. */
KESTREL_API KestrelError kestrel_joint_limiter_reset(KestrelJointLimiter *limiter, const double *positions,
                                                            const double *velocities);

/* kestrel_joint_limiter_state copies the joint count and the per-joint state
 * out; every output pointer may be null. binding holds the flags of the last
 * call (0 after init or reset). */
KESTREL_API KestrelError kestrel_joint_limiter_state(const KestrelJointLimiter *limiter, uint32_t *count,
                                                            double *positions, double *velocities,
                                                            double *accelerations, uint32_t *binding);

/* kestrel_joint_limiter_set_coupling copies rows on the velocities of joints
 * 0..3 (row i: coefficients[i] . v' <= limits[i]; infinite values allowed).
 * Null rows, or count 0, switch the coupling off. Joints beyond the
 * limiter's count are held at 0 in the solve. */
KESTREL_API KestrelError kestrel_joint_limiter_set_coupling(KestrelJointLimiter *limiter,
                                                                   const LinearConstraints4 *rows);

/* kestrel_joint_limiter_coupling_result copies the solver's output of the
 * last call (iterations 0 and status Optimal before the first call);
 * KESTREL_ERROR_NOT_COUPLED when no coupling is set. */
KESTREL_API KestrelError kestrel_joint_limiter_coupling_result(const KestrelJointLimiter *limiter,
                                                                      Solution4 *last);

#ifdef __cplusplus
} /* extern "C" */
#endif

KESTREL_LAYOUT_ASSERT(sizeof(KestrelJointLimits) == 40, "KestrelJointLimits is 40 bytes");
KESTREL_LAYOUT_ASSERT(offsetof(KestrelJointLimits, max_position) == 8, "max_position at 8");
KESTREL_LAYOUT_ASSERT(offsetof(KestrelJointLimits, max_jerk) == 32, "max_jerk at 32");
KESTREL_LAYOUT_ASSERT(sizeof(KestrelJointLimiter) == KESTREL_JOINT_LIMITER_SIZE, "published limiter size");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(KestrelJointLimiter) == 8, "limiter storage is 8-aligned");

#endif /* KESTREL_JOINT_LIMITER_H */
