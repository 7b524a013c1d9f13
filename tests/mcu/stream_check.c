/* The test firmware: answers every step of the receipt stream with the
 * receiver library, compares with the host's answers, measures the accepted
 * checks marked as probes, and prints "N passed, M failed". */
#include <string.h>

#include "board.h"
#include "kestrel_receipt.h"
#include "receipt_stream.h"

static KestrelReceiptGuard guard; /* static storage, as a firmware holds it */
static const StreamStep *step;
static double position, velocity;
static KestrelError verdict;

uint64_t kestrel_receiver_clock_ns(void) { return stream_clock_ns; }

static void check(void *unused) {
    (void)unused;
    verdict = kestrel_receipt_guard_check(&guard, step->receipt, step->axis, position, velocity);
}

int main(void) {
    uint32_t passed = 0, failed = 0, instructions[3] = {0}, stack[3] = {0}, used;
    for (int i = 0; i < STREAM_ERROR_NAME_COUNT; ++i) {
        const char *name = kestrel_error_name(i - 1), *host = stream_error_names[i];
        while (*name != '\0' && *name == *host) ++name, ++host;
        *name == *host ? ++passed : ++failed;
    }
    for (uint32_t i = 0; i < stream_length; ++i) {
        step = &stream_steps[i];
        const uint8_t *key = stream_keys[step->key];
        int ok = 1;
        if (step->op == STREAM_RESUME) {
            verdict = kestrel_receipt_guard_resume(&guard, key, step->argument);
        } else if (step->op == STREAM_ADD_KEY) {
            verdict = kestrel_receipt_guard_add_key(&guard, key);
        } else if (step->op == STREAM_MAX_AGE) {
            verdict = kestrel_receipt_guard_set_max_age(&guard, step->argument);
        } else {
            memcpy(&position, &step->position_bits, sizeof position);
            memcpy(&velocity, &step->velocity_bits, sizeof velocity);
            if (step->probe == PROBE_NONE) {
                check(NULL);
            } else {
                const uint32_t count = board_measure(check, NULL, &used);
                if (count > instructions[step->probe]) instructions[step->probe] = count;
                if (used > stack[step->probe]) stack[step->probe] = used;
            }
            ok = kestrel_receipt_verify(key, step->receipt, step->axis, position, velocity) == step->verified;
        }
        uint64_t last = 0;
        if (ok && verdict == step->verdict && kestrel_receipt_guard_last_sequence_id(&guard, &last) == KESTREL_OK &&
            last == step->last_sequence_id) {
            ++passed;
        } else {
            ++failed;
            board_print("step ");
            board_print_uint(i);
            board_print(": not the host's answer\n");
        }
    }
    for (int probe = PROBE_EMPTY_RING; probe <= PROBE_FULL_RING; ++probe) {
        board_print(probe == PROBE_EMPTY_RING ? "accepted check, empty ring: " : "accepted check, full ring:  ");
        board_print_uint(instructions[probe]);
        board_print(" instructions, ");
        board_print_uint(stack[probe]);
        board_print(" bytes of stack\n");
    }
    board_print_uint(passed);
    board_print(" passed, ");
    board_print_uint(failed);
    board_print(" failed\n");
    return failed == 0 ? 0 : 1;
}
