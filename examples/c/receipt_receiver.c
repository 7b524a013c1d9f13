/*
 * receipt_receiver.c - the actuator side: a command is carried out once, and
 * only with a receipt signed for exactly that axis, position and velocity.
 *
 *   boundary_controller KEY_FILE | receipt_receiver KEY_FILE
 *
 * Reads signed command frames (84 bytes each, kestrel_frame.h) from stdin
 * and checks each with a replay guard under the same key. Then it presents
 * the first frame again, as a recorded message replayed on the wire would
 * be; the guard must refuse it. Exits non-zero unless every frame was
 * accepted once and the replay refused. (frame_receiver.c takes frames from
 * UDP datagrams instead.)
 */
#include <stdio.h>
#include <string.h>

#include <kestrel.h>

static int read_key(const char *path, uint8_t key[32]) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) return -1;
    const int whole = fread(key, 1, 32, file) == 32 && fgetc(file) == EOF;
    fclose(file);
    return whole ? 0 : -1;
}

static KestrelReceiptGuard guard; /* static storage: the published size and alignment */

/* One frame: carried out only if its receipt checks. */
static KestrelError receive(const uint8_t bytes[KESTREL_FRAME_LEN]) {
    KestrelFrame frame;
    const KestrelError error = kestrel_receipt_guard_check_frame(&guard, bytes, &frame);
    if (error == KESTREL_OK) {
        /* Move the actuator here: frame holds exactly the bits that were signed. */
        printf("axis %d: to %g rad at %g rad/s\n", (int)frame.axis, frame.position, frame.velocity);
    } else {
        printf("refused, %s\n", kestrel_error_name(error));
    }
    return error;
}

int main(int argc, char **argv) {
    uint8_t key[32];
    if (argc != 2 || read_key(argv[1], key) != 0) {
        fprintf(stderr, "usage: receipt_receiver KEY_FILE (32 bytes) < frames\n");
        return 2;
    }
    const KestrelError made = kestrel_receipt_guard_init(&guard, key);
    memset(key, 0, sizeof key); /* the guard keeps its own copy */
    if (made != KESTREL_OK) return 1;

    uint8_t bytes[KESTREL_FRAME_LEN], first[KESTREL_FRAME_LEN];
    size_t frames = 0, got;
    int refused = 0;
    while ((got = fread(bytes, 1, sizeof bytes, stdin)) == sizeof bytes) {
        if (frames++ == 0) memcpy(first, bytes, sizeof first);
        refused += receive(bytes) != KESTREL_OK;
    }
    refused += got != 0; /* a frame cut short */
    /* The first frame again, as a recorded message replayed on the wire. */
    const KestrelError replay = frames > 0 ? receive(first) : KESTREL_OK;

    kestrel_receipt_guard_wipe(&guard);
    return frames > 0 && refused == 0 && replay == KESTREL_ERROR_REPLAY_COUNTER ? 0 : 1;
}
