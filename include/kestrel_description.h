/*
 * kestrel_description.h - a robot's joint limits read from its own files.
 *
 * The limits of a robot are written down twice beside it: position and
 * velocity in its URDF (element limit: lower, upper, velocity; narrowed by
 * safety_controller: soft_lower_limit, soft_upper_limit), acceleration and
 * jerk in a joint_limits.yaml (the map `joint_limits` at the top of the file
 * or one level below it). kestrel_description_load reads either file or both
 * and gives one KestrelJointLimits per joint, ready for
 * kestrel_joint_limiter_init, with the source of every value, and the
 * URDF's effort (the actuator's torque or force limit, limit: effort) beside
 * them for a drive or a simulation to use.
 *
 * This is a library of its own, libkestrel_description (CMake target
 * kestrel::description, pkg-config kestrel_description), so that the core
 * library keeps its one dependency; it needs the XML and YAML parsers
 * (tinyxml2, yaml-cpp) and nothing of libkestrel.
 *
 * Joints. By default the URDF's movable joints (revolute, continuous,
 * prismatic) in file order, without mimic joints (they follow their leader);
 * with only a YAML file, its joints in its order. A list of names chooses the
 * joints and their order instead; a mimic joint may be named, a fixed,
 * floating or planar one may not.
 *
 * What wins, field by field:
 *   position      the URDF's lower/upper, or the YAML's min_position/
 *                 max_position where given (has_position_limits: false: none);
 *                 then, with soft limits on, a safety_controller's soft limit
 *                 where it is narrower. None (-inf, inf) for a continuous joint.
 *   velocity      the URDF's velocity, or the YAML's max_velocity where given
 *                 (has_velocity_limits: false: none).
 *   acceleration  YAML max_acceleration; where max_deceleration is given too,
 *                 the smaller of the two (the limiter's acceleration limit is
 *                 symmetric).
 *   jerk          YAML max_jerk.
 * A YAML max_* applies unless its has_*_limits is false; has_*_limits: true
 * for acceleration, deceleration or jerk without its max_* is an error. An
 * absent limit is infinite, as KestrelJointLimits reads it. A YAML value
 * tagged `!degrees x` is x * 3.141592653589793 / 180, rounded in that order,
 * and must be finite after it. angle_wraparound: true (a position that wraps
 * around) is accepted for a continuous joint and refused for a revolute or
 * prismatic one. Keys that carry no limit kept here (has_effort_limits,
 * max_effort, default_velocity_scaling_factor,
 * default_acceleration_scaling_factor) are read and ignored: a joint's
 * effort (`effort` of KestrelDescribedJoint) comes from the URDF's <limit>
 * alone. An alias to a single value (max_velocity: *v) is read as that value.
 *
 * The values that win are judged, not the ones they replace:
 *   - a limits file narrows: a YAML value wider than the URDF's limit, or a
 *     has_*_limits: false where the URDF gives that limit, is an error
 *     naming both, unless KESTREL_DESCRIPTION_ALLOW_WIDENING (then the YAML
 *     wins and the field's bit is set in `widened`);
 *   - a URDF velocity that is not > 0, or a position range whose lower end is
 *     not below its upper end, is an error only where the YAML replaces
 *     nothing of it;
 *   - a revolute or prismatic joint needs <limit> lower and upper (the URDF
 *     format requires them), unless the YAML gives that side or
 *     has_position_limits: false.
 * A typo must not leave a limit out: an attribute of <joint>, or of the
 * <limit>, <safety_controller> or <mimic> of a revolute, continuous or
 * prismatic joint, that the URDF format does not give them is an error (with
 * "did you mean" where one name is close), unless it has a namespace prefix
 * (such as ext:acceleration: another tool's); other child elements of <joint> are
 * ignored. An unknown key in a YAML joint's map is an error too, except one
 * whose value is false (has_jerk: false), which is a warning.
 *
 * Warnings (kestrel_description_warning) say what was read and left aside:
 * a YAML joint the URDF does not have (skipped; judged only when no joints
 * are named), an unknown key set to false, and a map beside joint_limits or
 * at the top of the YAML file (cartesian_limits) that the reader does not
 * read. With KESTREL_DESCRIPTION_STRICT the first of them is an error.
 *
 * Hostile files. A file over KESTREL_DESCRIPTION_MAX_FILE_SIZE bytes (a YAML
 * file over KESTREL_DESCRIPTION_MAX_YAML_SIZE: its parser spends up to some
 * microseconds a byte on hostile text, a joint_limits.yaml holds a few
 * kilobytes), holding a NUL byte, nesting deeper than
 * KESTREL_DESCRIPTION_MAX_DEPTH, holding more than
 * KESTREL_DESCRIPTION_MAX_XML_ELEMENTS elements or
 * KESTREL_DESCRIPTION_MAX_YAML_NODES YAML nodes (an alias counts as one), a
 * YAML alias to a map or a sequence, or an XML document type declaration (the
 * only place entities are declared) is refused before the parser builds
 * anything from it, so every file ends in a result or an error within a
 * fraction of a second and some tens of megabytes.
 */
#ifndef KESTREL_DESCRIPTION_H
#define KESTREL_DESCRIPTION_H

#include "kestrel_error.h"
#include "kestrel_joint_limiter.h" /* KestrelJointLimits */

#ifdef __cplusplus
extern "C" {
#endif

#define KESTREL_DESCRIPTION_MAX_FILE_SIZE    (16u << 20)
#define KESTREL_DESCRIPTION_MAX_DEPTH        32u
#define KESTREL_DESCRIPTION_MAX_YAML_SIZE    (256u << 10)
#define KESTREL_DESCRIPTION_MAX_XML_ELEMENTS (1u << 18)
#define KESTREL_DESCRIPTION_MAX_YAML_NODES   (1u << 15)
/* Room for every message kestrel_description_load writes, paths of up to
 * 1024 bytes and names of up to 256 included; a shorter buffer gets the
 * message cut, still NUL-terminated. */
#define KESTREL_DESCRIPTION_MESSAGE_SIZE 2048u

/* Where a value came from. */
enum {
    KESTREL_SOURCE_NONE = 0,       /* nothing gave one: the limit is absent */
    KESTREL_SOURCE_URDF = 1,       /* the limit element of the URDF */
    KESTREL_SOURCE_SOFT_LIMIT = 2, /* its safety_controller element */
    KESTREL_SOURCE_YAML = 3        /* the YAML file (has_*_limits: false included) */
};

/* Flags of KestrelDescriptionRequest. */
enum {
    KESTREL_DESCRIPTION_NO_SOFT_LIMITS = 1u << 0, /* ignore safety_controller elements */
    KESTREL_DESCRIPTION_STRICT = 1u << 1,         /* every warning is an error */
    KESTREL_DESCRIPTION_ALLOW_WIDENING = 1u << 2  /* a YAML value may widen or remove a URDF limit */
};

/* What to read. At least one path is given (not NULL). */
typedef struct KestrelDescriptionRequest {
    const char *urdf_path;     /* or NULL */
    const char *yaml_path;     /* or NULL */
    const char *const *joints; /* names to load, in the order to give them; NULL: the default joints */
    size_t joint_count;        /* entries of joints (0 with NULL joints) */
    uint32_t flags;            /* KESTREL_DESCRIPTION_* */
} KestrelDescriptionRequest;

/* The index of each field of KestrelJointLimits in `sources`. */
enum {
    KESTREL_FIELD_MIN_POSITION = 0,
    KESTREL_FIELD_MAX_POSITION = 1,
    KESTREL_FIELD_MAX_VELOCITY = 2,
    KESTREL_FIELD_MAX_ACCELERATION = 3,
    KESTREL_FIELD_MAX_JERK = 4
};

/* One loaded joint. The strings belong to the description and live until it
 * is freed. */
typedef struct KestrelDescribedJoint {
    const char *name;
    const char *type;   /* the URDF's type ("revolute", "continuous", "prismatic"), or "" with only a YAML file */
    const char *mimics; /* the joint a mimic joint follows, or "" */
    KestrelJointLimits limits;
    uint32_t sources[KESTREL_JOINT_LIMITS_FIELDS]; /* KESTREL_SOURCE_* of each field, indexed by KESTREL_FIELD_* */
    uint32_t widened;    /* bit 1u << KESTREL_FIELD_*: a YAML value that widened or removed the URDF's
                            (only with KESTREL_DESCRIPTION_ALLOW_WIDENING) */
    double effort;       /* the URDF's <limit> effort, the most force its actuator may apply (N m for a
                            revolute or continuous joint, N for a prismatic one), as given: a finite
                            number the reader does not judge, since no limit of KestrelJointLimits rests
                            on it; INFINITY where the URDF gives none or with only a YAML file */
} KestrelDescribedJoint;

/* The loaded joints: opaque, read-only after loading, so one description may
 * be read from several threads. */
typedef struct KestrelDescription KestrelDescription;

/* kestrel_description_load reads the files of `request` and, on success,
 * stores a new description in *description (free it with
 * kestrel_description_free). On failure *description is NULL and, when
 * `message` is not NULL, message[0..message_size-1] holds a NUL-terminated
 * English text naming the file, the line (where the parser gives one), the
 * joint and the field (a quoted name or value is UTF-8, its other bytes
 * written as a backslash, x and two hex digits; a path is given as it came), e.g.
 *   "arm.yaml:12: joint 'elbow': max_jerk: -3 is not > 0".
 * When `os_error` is not NULL it receives errno for a file that could not be
 * read, else 0. Errors:
 *   KESTREL_ERROR_INVALID_POINTER    request or description NULL, no path
 *                                    given, or joint_count > 0 with NULL joints
 *                                    or a NULL name among them
 *   KESTREL_ERROR_DESCRIPTION_UNREADABLE  a file could not be opened or read,
 *                                    or is not a regular file (os_error 0:
 *                                    refused before any read, so a FIFO
 *                                    never blocks the call)
 *   KESTREL_ERROR_DESCRIPTION_TOO_LARGE   over the size, depth or node bounds
 *   KESTREL_ERROR_DESCRIPTION_SYNTAX malformed XML or YAML, an alias, a
 *                                    document type declaration, a URDF without
 *                                    robot element, a YAML file without
 *                                    joint_limits, a joint name that is not
 *                                    UTF-8 text
 *   KESTREL_ERROR_DESCRIPTION_JOINT  a joint named that does not exist or has
 *                                    no limits (fixed, floating, planar), named
 *                                    twice or defined twice; no joint to load;
 *                                    with KESTREL_DESCRIPTION_STRICT a YAML
 *                                    joint absent from the URDF
 *   KESTREL_ERROR_DESCRIPTION_VALUE  a value that is not a finite number (or
 *                                    boolean), an unknown key, attribute or tag,
 *                                    a position range whose lower end is not
 *                                    below its upper end, a rate limit that is
 *                                    not > 0, a missing position limit, a YAML
 *                                    value that widens the URDF's
 *   KESTREL_ERROR_OUT_OF_MEMORY      an allocation failed
 * Never throws and never crashes on any file contents. */
KESTREL_API KestrelError kestrel_description_load(const KestrelDescriptionRequest *request,
                                                  KestrelDescription **description, char *message, size_t message_size,
                                                  int32_t *os_error);

/* kestrel_description_joint_count returns the number of loaded joints (at
 * least 1), or 0 for a NULL description. */
KESTREL_API size_t kestrel_description_joint_count(const KestrelDescription *description);

/* kestrel_description_joint copies joint `index` (in the order loaded) into
 * *joint. KESTREL_ERROR_INVALID_POINTER for a NULL argument or an index not
 * below the joint count; nothing is written then. */
KESTREL_API KestrelError kestrel_description_joint(const KestrelDescription *description, size_t index,
                                                   KestrelDescribedJoint *joint);

/* kestrel_description_warning_count returns the number of warnings of a
 * loaded description (0 for NULL). */
KESTREL_API size_t kestrel_description_warning_count(const KestrelDescription *description);

/* kestrel_description_warning returns warning `index` (the YAML file's maps
 * first, then its joints the URDF lacks, then the loaded joints' keys): a
 * NUL-terminated English text naming the file, line and joint and saying what
 * the reader did ("limits.yaml:9: joint 'gripper': not in arm.urdf; skipped").
 * It lives until the description is freed. NULL for a NULL description or an
 * index not below the warning count. */
KESTREL_API const char *kestrel_description_warning(const KestrelDescription *description, size_t index);

/* kestrel_description_source_name returns "URDF", "soft limit", "YAML" or
 * "none" for a KESTREL_SOURCE_* value, "unknown" for any other. Static
 * storage, never NULL. */
KESTREL_API const char *kestrel_description_source_name(uint32_t source);

/* kestrel_description_free releases a description; NULL is ignored. */
KESTREL_API void kestrel_description_free(KestrelDescription *description);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_DESCRIPTION_H */
