/*
 * boundary_controller.c - the controlling side: every command to an actuator
 * leaves signed by a Kestrel boundary.
 *
 *   boundary_controller KEY_FILE | receipt_receiver KEY_FILE
 *
 * KEY_FILE holds the 32-byte key that the actuator side holds too. The
 * program sweeps axis 0 through five positions and writes each admitted
 * command to stdout as one signed command frame (84 bytes, kestrel_frame.h),
 * the action and its receipt together. A sixth command, too fast, must be
 * refused. Exits non-zero unless every command fared as it must.
 */
#include <stdio.h>
#include <string.h>

#include <kestrel.h>

/* One command: signed, then sent as a frame. */
static KestrelError send(KestrelBoundary *boundary, int32_t axis, double position, double velocity) {
    KestrelFrame frame = {axis, position, velocity, {0}};
    KestrelError error = kestrel_boundary_authorize(boundary, axis, position, velocity, frame.receipt);
    uint8_t bytes[KESTREL_FRAME_LEN];
    if (error == KESTREL_OK) error = kestrel_frame_encode(&frame, bytes);
    if (error != KESTREL_OK) {
        fprintf(stderr, "axis %d, %g rad/s: refused, %s\n", (int)axis, velocity, kestrel_error_name(error));
        return error;
    }
    fwrite(bytes, sizeof bytes, 1, stdout);
    return KESTREL_OK;
}

int main(int argc, char **argv) {
    uint8_t key[KESTREL_KEY_LEN];
    char problem[512];
    if (argc != 2) {
        fprintf(stderr, "usage: boundary_controller KEY_FILE > frames\n");
        return 2;
    }
    if (kestrel_key_file_read(argv[1], key, problem, sizeof problem) != KESTREL_OK) {
        fprintf(stderr, "boundary_controller: %s\n", problem);
        return 2;
    }
    KestrelError error;
    /* At most 100 commands a second, none faster than 2 rad/s. */
    KestrelBoundary *boundary = kestrel_boundary_new(key, 100, 2.0, &error);
    memset(key, 0, sizeof key); /* the boundary keeps its own copy */
    if (boundary == NULL) {
        fprintf(stderr, "no boundary: %s\n", kestrel_error_message(error));
        return 1;
    }

    int failed = 0;
    for (int step = 0; step < 5; ++step) failed |= send(boundary, 0, 0.1 * step, 1.5) != KESTREL_OK;
    failed |= send(boundary, 0, 0.5, 3.0) != KESTREL_ERROR_VELOCITY_EXCEEDED;

    kestrel_boundary_free(boundary); /* wipes the key */
    return failed || fflush(stdout) != 0;
}
