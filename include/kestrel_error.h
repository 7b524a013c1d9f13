/*
 * kestrel_error.h - the one error convention of the Kestrel C library.
 *
 * Every library function that can fail returns a KestrelError: 0 for success,
 * otherwise one of the values below. (The two projection kernels of
 * kestrel.h are the exception: they return -1 for a null pointer and 0
 * otherwise, with the outcome as a SolveStatus in their output record.)
 *
 * Values 1 to 9 are the receipt codes, with the code strings of the Python
 * exception's violation_type (those marked reserved are never returned by
 * this library; they keep their numbers and names for the Python modules);
 * then the signing boundary's own refusals; then
 * the joint limiter's errors; then the receiving side's later refusals (a
 * receipt out of date, a malformed command frame). Null, misaligned and
 * uninitialised storage are answered alike, with
 * KESTREL_ERROR_INVALID_POINTER, by every function that takes caller-placed
 * storage. A failed call changes nothing.
 */
#ifndef KESTREL_ERROR_H
#define KESTREL_ERROR_H

#include "kestrel_base.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t KestrelError;
enum {
    KESTREL_OK = 0,
    /* Receipts: signing, checking, parsing. */
    KESTREL_ERROR_INVALID_POINTER = 1,          /* "invalid_pointer": null, misaligned or uninitialised */
    KESTREL_ERROR_ACTION_ID_OVERFLOW = 2,       /* "action_id_overflow": reserved (an axis's id always fits) */
    KESTREL_ERROR_PAYLOAD_OVERFLOW = 3,         /* "payload_overflow": reserved */
    KESTREL_ERROR_INVALID_RECEIPT = 4,          /* "invalid_receipt": reserved here; the Python modules' refusal
                                                    of a receipt that is not 60 bytes long */
    KESTREL_ERROR_INVALID_KEY_LENGTH = 5,       /* "invalid_key_length": reserved */
    KESTREL_ERROR_AUTHENTICATION_FAILURE = 6,   /* "authentication_failure": the tag is wrong */
    KESTREL_ERROR_REPLAY_COUNTER = 7,           /* "replay_counter": sequence id not newer */
    KESTREL_ERROR_REPLAY_NONCE = 8,             /* "replay_nonce": nonce recently accepted */
    KESTREL_ERROR_HARDWARE_SHA_UNAVAILABLE = 9, /* "hardware_sha_unavailable": reserved */
    /* The signing boundary's refusals. */
    KESTREL_ERROR_RATE_LIMITED = 10,      /* "rate_limited": over the one-second rate limit */
    KESTREL_ERROR_VELOCITY_EXCEEDED = 11, /* "velocity_exceeded": |velocity| over the limit, or NaN */
    KESTREL_ERROR_RANDOM_SOURCE = 12,     /* "random_source": no nonce could be drawn */
    /* The joint limiter. */
    KESTREL_ERROR_BAD_JOINT_COUNT = 13, /* "bad_joint_count": 0, or above the maximum */
    KESTREL_ERROR_BAD_LIMITS = 14,      /* "bad_limits" */
    KESTREL_ERROR_BAD_PERIOD = 15,      /* "bad_period" */
    KESTREL_ERROR_BAD_POSITION = 16,    /* "bad_position" */
    KESTREL_ERROR_BAD_VELOCITY = 17,    /* "bad_velocity": not finite, or |v| > DBL_MAX / 8 * period */
    KESTREL_ERROR_BAD_COUPLING = 18,    /* "bad_coupling" */
    KESTREL_ERROR_NOT_COUPLED = 19,     /* "not_coupled" */
    /* The receiving side: the guard's maximum age, command frames (kestrel_frame.h). */
    KESTREL_ERROR_STALE_RECEIPT = 20, /* "stale_receipt": dated outside the guard's maximum age */
    KESTREL_ERROR_INVALID_FRAME = 21, /* "invalid_frame": wrong length, version or reserved bytes */
    /* Resources. */
    KESTREL_ERROR_OUT_OF_MEMORY = 22, /* "out_of_memory": a handle could not be allocated */
    /* The Governor (kestrel_governor.h). */
    KESTREL_ERROR_BAD_ENVELOPE = 23, /* "bad_envelope": min_bound not below max_bound, or NaN */
    /* The signing boundary used in a child of the process that made it. */
    KESTREL_ERROR_FORKED = 24, /* "forked": the boundary belongs to its parent process */
    /* The joint limiter, again. */
    KESTREL_ERROR_BAD_JOINT = 25, /* "bad_joint": a joint index not below the joint count */
    /* The actuator side's watchdog (kestrel_watchdog.h). */
    KESTREL_ERROR_BAD_TIMEOUT = 26, /* "bad_timeout": a watchdog's timeout of 0 */
    /* Keys (kestrel_key.h, and wherever a key is given). */
    KESTREL_ERROR_ZERO_KEY = 27,       /* "zero_key": 32 zero bytes, a key anyone can guess */
    KESTREL_ERROR_BAD_LINK_ID = 28,    /* "bad_link_id": a link id is 1 to 255 bytes */
    KESTREL_ERROR_KEY_FILE = 29,       /* "key_file": missing, unreadable, not 32 bytes, or others may read it */
    KESTREL_ERROR_KEY_DERIVATION = 30, /* "key_derivation": the cryptographic library failed */
    /* The receipt log (kestrel_log.h). */
    KESTREL_ERROR_LOG_CLOSED = 31,       /* "log_closed": the log has its final seal, or was checked to the end */
    KESTREL_ERROR_LOG_STOPPED = 32,      /* "log_stopped": the finding callback stopped the check */
    KESTREL_ERROR_LOG_REFUSAL_KIND = 33, /* "log_refusal_kind": a refusal line needs a named error value */
    /* Robot descriptions (kestrel_description.h). */
    KESTREL_ERROR_DESCRIPTION_UNREADABLE = 34, /* "description_unreadable": a file could not be read */
    KESTREL_ERROR_DESCRIPTION_TOO_LARGE = 35,  /* "description_too_large": over the size, depth or node bounds */
    KESTREL_ERROR_DESCRIPTION_SYNTAX = 36,     /* "description_syntax": malformed XML or YAML */
    KESTREL_ERROR_DESCRIPTION_JOINT = 37,      /* "description_joint": a joint missing, twice or without limits */
    KESTREL_ERROR_DESCRIPTION_VALUE = 38,      /* "description_value": a value or key that is not valid */
    /* The monitor (kestrel_monitor.h) and the boundary's per-axis limits. */
    KESTREL_ERROR_BAD_MONITOR_CONFIG = 39,    /* "bad_monitor_config": a tolerance, standstill velocity or stop */
    KESTREL_ERROR_POSITION_OUT_OF_RANGE = 40, /* "position_out_of_range": a command outside its axis's limits */
    KESTREL_ERROR_LOG_TRIP_FUNCTION = 41,     /* "log_trip_function": a trip line needs a safety function */
    /* The receipt log, again. */
    KESTREL_ERROR_LOG_KEYS = 42 /* "log_keys": a log verifier holds KESTREL_LOG_MAX_KEYS keys already */
};

/* kestrel_error_name returns the code string of an error value ("ok" for 0,
 * "replay_nonce", "rate_limited"), and "unknown_error" for a value that is
 * not listed above. Never NULL; static storage. */
KESTREL_API const char *kestrel_error_name(KestrelError error);

/* kestrel_error_message returns the fixed English message of an error value
 * ("nonce reuse detected"), with a message of its own for 0 and for unknown
 * values. Never NULL; static storage. */
KESTREL_API const char *kestrel_error_message(KestrelError error);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_ERROR_H */
