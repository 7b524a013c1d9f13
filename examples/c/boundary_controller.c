/*
 * boundary_controller.c - the controlling side: every command to an actuator
 * leaves signed by a Kestrel boundary.
 *
 *   boundary_controller KEY_FILE > commands
 *
 * KEY_FILE holds the 32-byte key the actuator side holds too. The program
 * sweeps axis 0 through five positions and writes each admitted command as
 * one line, "AXIS POSITION VELOCITY RECEIPT" (the doubles in hexadecimal
 * floating point, so that they arrive bit for bit, the 60-byte receipt in
 * hex), for receipt_receiver.c. A sixth command, too fast, must be refused.
 * Exits non-zero unless every command fared as it must.
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

/* One command, signed, as a line on stdout. */
static KestrelError send(KestrelBoundary *boundary, int32_t axis, double position, double velocity) {
    uint8_t receipt[60];
    const KestrelError error = kestrel_boundary_authorize(boundary, axis, position, velocity, receipt);
    if (error != KESTREL_OK) {
        fprintf(stderr, "axis %d, %g rad/s: refused, %s\n", (int)axis, velocity, kestrel_error_name(error));
        return error;
    }
    printf("%d %a %a ", (int)axis, position, velocity);
    for (size_t i = 0; i < sizeof receipt; ++i) printf("%02x", receipt[i]);
    printf("\n");
    return KESTREL_OK;
}

int main(int argc, char **argv) {
    uint8_t key[32];
    if (argc != 2 || read_key(argv[1], key) != 0) {
        fprintf(stderr, "usage: boundary_controller KEY_FILE (32 bytes)\n");
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
    return failed;
}
