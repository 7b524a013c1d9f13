/*
 * receipt_receiver.c - the actuator side: a command is carried out once, and
 * only with a receipt signed for exactly that axis, position and velocity.
 *
 *   boundary_controller KEY_FILE | receipt_receiver KEY_FILE
 *
 * Reads the lines of boundary_controller.c from stdin and checks each with a
 * replay guard under the same key. Then it presents the first command again,
 * as a recorded message replayed on the wire would be; the guard must
 * refuse it. Exits non-zero unless every command was accepted once and the
 * replay refused.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kestrel.h>

static int read_key(const char *path, uint8_t key[32]) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) return -1;
    const int whole = fread(key, 1, 32, file) == 32 && fgetc(file) == EOF;
    fclose(file);
    return whole ? 0 : -1;
}

/* One line of boundary_controller: 0 on success. */
static int parse(const char *line, int32_t *axis, double *position, double *velocity, uint8_t receipt[60]) {
    int a, used;
    char p[64], v[64];
    if (sscanf(line, "%d %63s %63s %n", &a, p, v, &used) != 3 || strlen(line + used) < 120) return -1;
    for (int i = 0; i < 60; ++i) {
        unsigned int byte;
        if (sscanf(line + used + 2 * i, "%2x", &byte) != 1) return -1;
        receipt[i] = (uint8_t)byte;
    }
    *axis = a;
    *position = strtod(p, NULL);
    *velocity = strtod(v, NULL);
    return 0;
}

static KestrelReceiptGuard guard; /* static storage: the published size and alignment */

/* One command line: carried out only if its receipt checks. */
static KestrelError receive(const char *line) {
    int32_t axis;
    double position, velocity;
    uint8_t receipt[60];
    if (parse(line, &axis, &position, &velocity, receipt) != 0) return KESTREL_ERROR_INVALID_RECEIPT;
    const KestrelError error = kestrel_receipt_guard_check(&guard, receipt, axis, position, velocity);
    if (error == KESTREL_OK) {
        printf("axis %d: to %g rad at %g rad/s\n", (int)axis, position, velocity); /* move the actuator here */
    } else {
        printf("axis %d: refused, %s\n", (int)axis, kestrel_error_name(error));
    }
    return error;
}

int main(int argc, char **argv) {
    uint8_t key[32];
    if (argc != 2 || read_key(argv[1], key) != 0) {
        fprintf(stderr, "usage: receipt_receiver KEY_FILE (32 bytes) < commands\n");
        return 2;
    }
    const KestrelError init = kestrel_receipt_guard_init(&guard, key);
    memset(key, 0, sizeof key); /* the guard keeps its own copy */
    if (init != KESTREL_OK) return 1;

    char line[256], first[256] = "";
    int commands = 0, refused = 0;
    while (fgets(line, sizeof line, stdin) != NULL) {
        if (commands++ == 0) strcpy(first, line);
        refused += receive(line) != KESTREL_OK;
    }
    /* The first command again, as a recorded message replayed on the wire. */
    const KestrelError replay = commands > 0 ? receive(first) : KESTREL_OK;

    kestrel_receipt_guard_wipe(&guard);
    return commands > 0 && refused == 0 && replay == KESTREL_ERROR_REPLAY_COUNTER ? 0 : 1;
}
