/* The receipt stream the test firmware checks, each step with the host's
 * answers (receipt_stream.cpp writes the data into receipt_stream.c). */
#include <stdint.h>

#include "kestrel_error.h"

/* resume from, or set the maximum age to, argument; add stream_keys[key] as the guard's next key */
enum { STREAM_CHECK, STREAM_RESUME, STREAM_MAX_AGE, STREAM_ADD_KEY };
enum { PROBE_NONE, PROBE_EMPTY_RING, PROBE_FULL_RING }; /* accepted checks to measure */

typedef struct StreamStep {
    uint8_t op, key, probe; /* key: index into stream_keys */
    uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN];
    int32_t axis;
    uint64_t position_bits, velocity_bits, argument;
    int32_t verdict, verified; /* the host guard's answer, its verifier's */
    uint64_t last_sequence_id; /* the host guard's after the step */
} StreamStep;

extern const uint8_t stream_keys[2][KESTREL_KEY_LEN];
extern const StreamStep stream_steps[];
extern const uint32_t stream_length;
extern const uint64_t stream_clock_ns;           /* the host's clock when it judged the maximum ages */
/* Every listed error value, with one below and one above the list. */
#define STREAM_ERROR_NAME_COUNT (KESTREL_ERROR_DESCRIPTION_VALUE + 3)
extern const char *const stream_error_names[STREAM_ERROR_NAME_COUNT]; /* the host's kestrel_error_name of -1 .. */
