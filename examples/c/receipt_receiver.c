/*
 * receipt_receiver.c - the actuator side: a command is carried out once, and
 * only with a receipt signed for exactly that axis, position and velocity.
 *
 *   boundary_controller KEY_FILE | receipt_receiver KEY_FILE
 *
 * Reads signed command frames (84 bytes each, kestrel_frame.h) from stdin
 * and checks each with a replay guard under the same key. Then it presents
 * the first frame again, as a recorded message replayed on the wire would
 * be; the guard must refuse it. Then the link goes quiet: the actuator
 * side's watchdog expires, and axis 0's own joint limiter, asked for a stop
 * (NaN), brings it to rest within its limits. Exits non-zero unless every
 * frame was accepted once, the replay refused and the joint came to rest.
 * (frame_receiver.c takes frames from UDP datagrams instead.)
 */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <kestrel.h>

static KestrelReceiptGuard guard; /* static storage: the published size and alignment */
static KestrelWatchdog watchdog;  /* fed with every accepted command */
static KestrelJointLimiter joint; /* axis 0's limits, kept on the actuator side */
static double commanded;          /* axis 0's last accepted velocity, rad/s */

#define PERIOD_NS  1000000u          /* the actuator's control period: 1 ms */
#define TIMEOUT_NS (10u * PERIOD_NS) /* silence after which the joint is stopped */

/* The actuator side's clock. Frames come from a pipe, not in real time, so
 * the example keeps its own: one period per frame and per period of silence.
 * A receiver on a real link gives the watchdog NULL (the wall clock). */
static uint64_t now_ns;
static uint64_t actuator_clock(void *context) {
    (void)context;
    return now_ns;
}

/* One frame: carried out only if its receipt checks. */
static KestrelError receive(const uint8_t bytes[KESTREL_FRAME_LEN]) {
    KestrelFrame frame;
    const KestrelError error = kestrel_receipt_guard_check_frame(&guard, bytes, &frame);
    if (error == KESTREL_OK) {
        /* Move the actuator here: frame holds exactly the bits that were signed. */
        printf("axis %d: to %g rad at %g rad/s\n", (int)frame.axis, frame.position, frame.velocity);
        if (frame.axis == 0) commanded = frame.velocity;
        (void)kestrel_watchdog_feed(&watchdog);
    } else {
        printf("refused, %s\n", kestrel_error_name(error));
    }
    return error;
}

/* One control period of axis 0: the last accepted velocity while commands
 * come, a stop request once the watchdog has expired. Returns the velocity
 * given to the motor and sets *stopping. */
static double control_period(uint32_t *stopping) {
    double desired = commanded, velocity = 0.0;
    if (kestrel_watchdog_expired(&watchdog, stopping) != KESTREL_OK || *stopping) desired = NAN;
    if (kestrel_joint_limiter_limit(&joint, &desired, &velocity, NULL) != KESTREL_OK) velocity = 0.0;
    now_ns += PERIOD_NS;
    return velocity;
}

int main(int argc, char **argv) {
    uint8_t key[KESTREL_KEY_LEN];
    char problem[512];
    if (argc != 2) {
        fprintf(stderr, "usage: receipt_receiver KEY_FILE < frames\n");
        return 2;
    }
    if (kestrel_key_file_read(argv[1], key, problem, sizeof problem) != KESTREL_OK) {
        fprintf(stderr, "receipt_receiver: %s\n", problem);
        return 2;
    }
    const KestrelError made = kestrel_receipt_guard_init(&guard, key);
    memset(key, 0, sizeof key);                                      /* the guard keeps its own copy */
    const KestrelJointLimits limits = {-3.0, 3.0, 2.0, 20.0, 400.0}; /* rad, rad/s, rad/s^2, rad/s^3 */
    const double start = 0.0;
    if (made != KESTREL_OK || kestrel_watchdog_init(&watchdog, TIMEOUT_NS, actuator_clock, NULL) != KESTREL_OK ||
        kestrel_joint_limiter_init(&joint, 1, &limits, PERIOD_NS * 1e-9, &start) != KESTREL_OK) {
        return 1;
    }

    uint8_t bytes[KESTREL_FRAME_LEN], first[KESTREL_FRAME_LEN];
    size_t frames = 0, got;
    int refused = 0;
    uint32_t stopping = 0;
    while ((got = fread(bytes, 1, sizeof bytes, stdin)) == sizeof bytes) {
        if (frames++ == 0) memcpy(first, bytes, sizeof first);
        refused += receive(bytes) != KESTREL_OK;
        (void)control_period(&stopping);
    }
    refused += got != 0; /* a frame cut short */
    /* The first frame again, as a recorded message replayed on the wire. */
    const KestrelError replay = frames > 0 ? receive(first) : KESTREL_OK;

    /* The link is quiet: run on until the watchdog has stopped the joint. */
    unsigned periods = 0, at_rest = 0;
    while (periods < 10000 && !(stopping && at_rest)) {
        at_rest = fabs(control_period(&stopping)) < 1e-9;
        ++periods;
    }
    double position;
    (void)kestrel_joint_limiter_state(&joint, NULL, &position, NULL, NULL, NULL);
    printf("link quiet: axis 0 at rest at %.4f rad after %u ms\n", position, periods);

    kestrel_receipt_guard_wipe(&guard);
    return frames > 0 && refused == 0 && replay == KESTREL_ERROR_REPLAY_COUNTER && at_rest ? 0 : 1;
}
