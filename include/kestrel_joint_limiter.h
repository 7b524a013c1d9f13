/*
 * kestrel_joint_limiter.h - per-joint kinematic limits at the control rate.
 *
 * A joint limiter turns one desired velocity (or position) per joint, once per
 * control period dt, into the velocity to command. For every joint it keeps
 * the last commanded position p, velocity v and acceleration a, and returns
 * v' inside the intersection of
 *
 *   velocity      |v'| <= max_velocity
 *   acceleration  |v' - v| <= max_acceleration * dt
 *   jerk          |(v' - v)/dt - a| <= max_jerk * dt
 *   position      min_position <= p + v' dt <= max_position
 *   braking       from (p + v' dt, v', (v' - v)/dt) the braking law keeps the
 *                 position limits and |v| <= max_velocity
 *
 * The braking law is discrete and jerk-limited: the acceleration ramps towards
 * -max_acceleration (or +) by max_jerk * dt per period, holds, and lands so
 * that the velocity reaches 0 and the acceleration reaches 0 one period later;
 * the velocity limit is approached the same way, the acceleration ramping to
 * 0 as the velocity reaches max_velocity. Its stopping distance is a closed
 * form (sums of triangular and tetrahedral numbers of the period counts).
 * Joints without an acceleration limit brake jerk-limited all the same; a
 * joint with neither rate limit stops in one period.
 *
 * What this guarantees. The law's own next step is inside the intersection
 * from every state inside it, so from every state the limiter produces the
 * intersection is not empty: no limit gives way. Only a reset to a state
 * outside it (a velocity the limits cannot bring back in time) lets the weaker
 * limits give way, in a fixed order: jerk first, then acceleration; position,
 * braking and velocity never. A limit that gives way moves the result as
 * little as it can (to the point of the stronger limits nearest to it), the
 * result is flagged KESTREL_LIMIT_*_YIELDED, and the joint is flagged
 * KESTREL_LIMIT_RECOVERING (in every call's flags and in state) until its
 * state is back inside. The flag describes the state a call leaves: a limit
 * gives way only in a call that starts from a state flagged RECOVERING (by
 * the reset or the call before), and the call that brings the state back
 * inside, which may itself give way, no longer carries the flag.
 *
 * Rounding. A stop that the law plans to a position limit ends up to 2^-44 of
 * (|limit| + |p|) inside it, so that the rounding of the periods of the stop
 * cannot carry it through the limit. A jerk miss no wider than 2^-16 of the
 * jerk step per period (max_jerk * dt * dt as a change of v) is taken as
 * touching, not as giving way; the acceleration a = alpha / dt the limiter
 * keeps (alpha = v' - v before v' is rounded) holds its limit exactly.
 *
 * Arrival. By default a joint lands on a constant desired velocity without
 * overshoot: the request is replaced by the largest step from which the
 * acceleration can still ramp back to 0 as the velocity reaches it (flag
 * KESTREL_LIMIT_ARRIVAL when that shaped the result).
 * kestrel_joint_limiter_set_pure_tracking switches this off: the request is
 * then tracked as given, as fast as the limits allow. A joint that meets a
 * position limit arrives at rest (v, then a, 0 to rounding) and stays there, its
 * velocity never changing sign, while the request pushes on.
 *
 * The limits that shaped each joint's result are reported as KESTREL_LIMIT_*
 * flags: a limit is flagged when the result sits at its end on the side the
 * request was cut from. A NaN or infinite desired velocity is a request to
 * stop: it is treated as 0 and flagged. After each call
 *   p += v' dt,  a = (v' - v) / dt (up to the rounding of v'),  v = v'.
 * A position is kept inside its limits (and finite) even where the rounding of
 * p + v' dt would step an ulp beyond them.
 *
 * Measured feedback. The limiter's state is the commands it issued (the
 * position, velocity and acceleration it last commanded), not the plant's:
 * every limit above is kept on that commanded trajectory, and a call never
 * reads a sensor. A loop that measures its positions keeps calling limit (or
 * limit_position) and compares: as long as the plant tracks the commands
 * within the servo's tracking error, leave the state alone. Calling reset
 * every period with the measured state would make each period start from a
 * state the limiter did not produce: its acceleration is taken as 0, so the
 * commanded acceleration may jump by up to max_acceleration in a period
 * (a jerk of max_acceleration / dt, far above max_jerk), and where the
 * measured velocity lies outside the set the jerk and then the acceleration
 * limits give way (RECOVERING). Re-seed instead only when the tracking error
 * |measured - commanded| exceeds a bound the application chooses (a few
 * times the servo's normal tracking error; after a collision, a stall, a
 * servo fault or a manual move), with kestrel_joint_limiter_reset_joint for
 * that joint alone (or kestrel_joint_limiter_reset for all): the joint's
 * commanded position and velocity become the measured ones and its
 * acceleration 0. That re-seed costs one acceleration step of up to
 * max_acceleration in the next call (jerk up to max_acceleration / dt for
 * one period), and more if the measured velocity needs the weaker limits to
 * give way; the other joints are not disturbed.
 *
 * Flags in position mode (kestrel_joint_limiter_limit_position). The request
 * there is full speed towards the target, so a joint cruising at its velocity
 * limit shows no flag (the request is met), one accelerating shows
 * KESTREL_LIMIT_ACCELERATION or KESTREL_LIMIT_JERK (KESTREL_LIMIT_VELOCITY
 * while it lands on the velocity limit), one approaching its
 * target shows KESTREL_LIMIT_BRAKING, and one resting on its target shows
 * KESTREL_LIMIT_POSITION (the target holds it as a position limit would).
 *
 * Numbers are double precision. Outputs and state are finite for every
 * configuration init accepts: it refuses a period above one second, a finite
 * position range whose width overflows, and rate limits whose steps
 * (max_velocity * dt, max_acceleration * dt, max_jerk * dt^2) underflow below
 * DBL_MIN; an absent velocity limit stands for DBL_MAX / 8 * dt, which keeps
 * v dt, (v' - v) / dt and the law's sums finite. The state lives in
 * caller-provided storage (KestrelJointLimiter) of fixed size; no call
 * allocates, and calls on distinct limiters may run concurrently. Every
 * function returns a KestrelError (kestrel_error.h); on any error nothing is
 * written. Null or misaligned storage, or storage that holds no initialised
 * limiter, is answered with KESTREL_ERROR_INVALID_POINTER, as is a null
 * argument.
 *
 * Optional coupling of joints 0..3: up to four rows n_i . v' <= r_i on the
 * velocities (a LinearConstraints4, as for kestrel_solve_multivar_4d). After
 * the per-joint step the four results are projected onto the rows with that
 * single-precision solver, using each joint's allowed interval as its box, so
 * that the coupled result is inside the intersection above for the next
 * period too. The narrowing to float rounds every box inward and each solver
 * lane is clamped back into the double interval afterwards. The answer is
 * used only when the solver reports Optimal or MaxIterations and, after the
 * clamp-back, every row holds in double within 1e-5 plus 1.2e-5 of the
 * command's magnitude times the row's norm (the solver's tolerance, README,
 * "Notes on behaviour"); otherwise the per-joint results stand and joints
 * 0..3 are flagged KESTREL_LIMIT_COUPLING_UNMET. The last Solution4 can be
 * read back.
 */
#ifndef KESTREL_JOINT_LIMITER_H
#define KESTREL_JOINT_LIMITER_H

#include "kestrel_error.h" /* KestrelError */
#include "kestrel_solve.h" /* LinearConstraints4, Solution4 for the coupling */

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
/* The number of fields of KestrelJointLimits, all doubles, in the order above. */
#define KESTREL_JOINT_LIMITS_FIELDS 5

/* Why a joint's result is what it is: a bit set per joint and call. */
enum {
    KESTREL_LIMIT_POSITION = 1u << 0,     /* the position limit bounded the result (one period ahead, or held at it) */
    KESTREL_LIMIT_BRAKING = 1u << 1,      /* the stopping distance bounded it */
    KESTREL_LIMIT_VELOCITY = 1u << 2,     /* max_velocity bounded it */
    KESTREL_LIMIT_ACCELERATION = 1u << 3, /* max_acceleration bounded it */
    KESTREL_LIMIT_JERK = 1u << 4,         /* max_jerk bounded it */
    KESTREL_LIMIT_ACCELERATION_YIELDED = 1u << 5, /* it could not hold and gave way */
    KESTREL_LIMIT_JERK_YIELDED = 1u << 6,         /* it could not hold and gave way */
    KESTREL_LIMIT_STOP_REQUEST = 1u << 7,         /* the desired value was NaN or infinite; 0 was used */
    KESTREL_LIMIT_COUPLING = 1u << 8,        /* the coupling rows moved the result (added to the per-joint flags) */
    KESTREL_LIMIT_ARRIVAL = 1u << 9,         /* the landing on the desired velocity, without overshoot, shaped it */
    KESTREL_LIMIT_COUPLING_UNMET = 1u << 10, /* the coupling could not be met; the per-joint result stands */
    KESTREL_LIMIT_RECOVERING = 1u << 11      /* the state is outside the set the limits hold from (after a reset) */
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
 * accelerations 0, no coupling, arrival on). Refused: a null pointer, a bad
 * count, a period that is not in (0, 1] s, bad limits (a NaN,
 * min_position >= max_position, a rate limit <= 0, a finite position range
 * whose width max_position - min_position overflows, or a step per period
 * max_velocity * period, max_acceleration * period or max_jerk * period^2
 * below DBL_MIN), a position that is not finite or outside its limits. On
 * refusal the storage is not written. */
KESTREL_API KestrelError kestrel_joint_limiter_init(KestrelJointLimiter *limiter, uint32_t count,
                                                    const KestrelJointLimits *limits, double period,
                                                    const double *positions);

/* kestrel_joint_limiter_limit takes desired[0..count-1] (velocities) and
 * writes limited[0..count-1], then advances the state by one period. binding,
 * when not null, receives the KESTREL_LIMIT_* flags of each joint. desired
 * and limited may be the same array. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_joint_limiter_limit(KestrelJointLimiter *limiter,
                                                                        const double *desired, double *limited,
                                                                        uint32_t *binding);

/* kestrel_joint_limiter_limit_position takes desired_positions[0..count-1]
 * and writes limited_positions[0..count-1], the positions to command (the new
 * p), then advances the state by one period as kestrel_joint_limiter_limit
 * does. Each joint moves towards its target as fast as the limits allow and
 * arrives at rest on it (within the rounding margin above), without
 * overshoot; a target beyond a position limit stops at the limit. A joint
 * that cannot stop at its target any more (a target moved behind it) brakes
 * through it and comes back. A NaN target is a request to stop (flagged). The
 * position is held to a target it is stopping at as to a limit, so the
 * rounding of p + v' dt never carries it past. The velocity each joint was
 * given can be read with kestrel_joint_limiter_state; the flags are described
 * under "Flags in position mode" above. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_joint_limiter_limit_position(KestrelJointLimiter *limiter,
                                                                                 const double *desired_positions,
                                                                                 double *limited_positions,
                                                                                 uint32_t *binding);

/* kestrel_joint_limiter_set_pure_tracking switches the arrival off (on != 0)
 * or back on (on == 0, the default after init). */
KESTREL_API KestrelError kestrel_joint_limiter_set_pure_tracking(KestrelJointLimiter *limiter, uint32_t on);

/* kestrel_joint_limiter_reset sets positions and velocities (velocities null
 * means all 0) and zeroes the accelerations; the flags become
 * KESTREL_LIMIT_RECOVERING for a joint whose new state is outside the set the
 * limits hold from, 0 for the others. Refused, with the state unchanged: a
 * position not finite or outside its limits, a velocity that is not finite
 * or whose magnitude exceeds DBL_MAX / 8 * period (the stand-in of an absent
 * velocity limit, beyond which the limiter's arithmetic would overflow). A
 * velocity beyond what the limits allow but within that bound is accepted;
 * the next calls bring it back, the weaker limits giving way if they must. */
KESTREL_API KestrelError kestrel_joint_limiter_reset(KestrelJointLimiter *limiter, const double *positions,
                                                     const double *velocities);

/* kestrel_joint_limiter_reset_joint sets one joint's position and velocity,
 * zeroes its acceleration and sets its flags as kestrel_joint_limiter_reset
 * does, leaving every other joint as it is: the re-seeding of one joint from
 * the plant (see "Measured feedback" above). Refused, with the state
 * unchanged: KESTREL_ERROR_BAD_JOINT for joint >= the joint count, and the
 * position and velocity refusals of kestrel_joint_limiter_reset. */
KESTREL_API KestrelError kestrel_joint_limiter_reset_joint(KestrelJointLimiter *limiter, uint32_t joint,
                                                           double position, double velocity);

/* kestrel_joint_limiter_state copies the joint count and the per-joint state
 * out; every output pointer may be null. binding holds the flags of the last
 * call (0 after init; after a reset see there); a joint whose state is outside
 * the set, so that its next call may let jerk or acceleration give way, has
 * KESTREL_LIMIT_RECOVERING. */
KESTREL_API KestrelError kestrel_joint_limiter_state(const KestrelJointLimiter *limiter, uint32_t *count,
                                                     double *positions, double *velocities, double *accelerations,
                                                     uint32_t *binding);

/* The value of a joint that kestrel_joint_limiter_check finds at fault. */
typedef enum KestrelJointField {
    KESTREL_JOINT_MIN_POSITION = 0,
    KESTREL_JOINT_MAX_POSITION = 1,
    KESTREL_JOINT_MAX_VELOCITY = 2,
    KESTREL_JOINT_MAX_ACCELERATION = 3,
    KESTREL_JOINT_MAX_JERK = 4,
    KESTREL_JOINT_POSITION = 5, /* the position given to init or reset */
    KESTREL_JOINT_VELOCITY = 6  /* the velocity given to reset */
} KestrelJointField;

/* Where kestrel_joint_limiter_check found the first fault. */
typedef struct KestrelJointFault {
    uint32_t joint;      /* the joint's index */
    uint32_t field;      /* a KestrelJointField */
    const char *message; /* static, names the field and its rule: "max_jerk must be > 0" */
} KestrelJointFault;

/* kestrel_joint_limiter_check applies the refusals of
 * kestrel_joint_limiter_init (velocities null) or kestrel_joint_limiter_reset
 * to these arguments, in their order: the count (KESTREL_ERROR_BAD_JOINT_COUNT),
 * the period (KESTREL_ERROR_BAD_PERIOD), every joint's limits
 * (KESTREL_ERROR_BAD_LIMITS), then each joint's position
 * (KESTREL_ERROR_BAD_POSITION; positions null: none checked) and velocity
 * (KESTREL_ERROR_BAD_VELOCITY), and returns the first refusal or KESTREL_OK.
 * On a refusal of limits, a position or a velocity, *fault names the joint,
 * the field and the rule (the message of a position or velocity is the
 * error's catalogue message); otherwise it holds joint 0, field 0 and a null
 * message. Period 0 leaves out the refusals that depend on the period (the
 * steps per period, the velocity's bound): the rules of a joint's limits on
 * their own. Null limits or fault: KESTREL_ERROR_INVALID_POINTER. Pure. */
KESTREL_API KestrelError kestrel_joint_limiter_check(uint32_t count, const KestrelJointLimits *limits, double period,
                                                     const double *positions, const double *velocities,
                                                     KestrelJointFault *fault);

/* kestrel_joint_limiter_set_coupling copies rows on the velocities of joints
 * 0..3 (row i: coefficients[i] . v' <= limits[i]; infinite values allowed).
 * Null rows, or count 0, switch the coupling off. Joints beyond the
 * limiter's count are held at 0 in the solve. */
KESTREL_API KestrelError kestrel_joint_limiter_set_coupling(KestrelJointLimiter *limiter,
                                                            const LinearConstraints4 *rows);

/* kestrel_joint_limiter_coupling_result copies the solver's output of the
 * last call (iterations 0 and status Optimal before the first call);
 * KESTREL_ERROR_NOT_COUPLED when no coupling is set. */
KESTREL_API KestrelError kestrel_joint_limiter_coupling_result(const KestrelJointLimiter *limiter, Solution4 *last);

#ifdef __cplusplus
} /* extern "C" */
#endif

KESTREL_LAYOUT_ASSERT(sizeof(KestrelJointLimits) == 40, "KestrelJointLimits is 40 bytes");
KESTREL_LAYOUT_ASSERT(sizeof(KestrelJointLimits) == KESTREL_JOINT_LIMITS_FIELDS * sizeof(double), "fields counted");
KESTREL_LAYOUT_ASSERT(offsetof(KestrelJointLimits, max_position) == 8, "max_position at 8");
KESTREL_LAYOUT_ASSERT(offsetof(KestrelJointLimits, max_jerk) == 32, "max_jerk at 32");
KESTREL_LAYOUT_ASSERT(sizeof(KestrelJointLimiter) == KESTREL_JOINT_LIMITER_SIZE, "published limiter size");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(KestrelJointLimiter) == 8, "limiter storage is 8-aligned");

#endif /* KESTREL_JOINT_LIMITER_H */
