/*
 * receipt_check KEYHEX - checks receipts read from stdin with the C library,
 * as code beside an actuator would: one guard for the whole stream.
 *
 * Each input line is "AXIS POSITION VELOCITY RECEIPTHEX" (doubles in any form
 * strtod reads, hexadecimal included, so that they arrive bit for bit). Each
 * output line is "verify=V guard=G": the codes of kestrel_receipt_verify and
 * kestrel_receipt_guard_check for that line. Exit status 2 on a usage error.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kestrel.h"

static KestrelReceiptGuard guard; /* static storage: published size and alignment */

static int hex_to_bytes(const char *hex, uint8_t *out, size_t n) {
    if (strlen(hex) != 2 * n) return -1;
    for (size_t i = 0; i < n; ++i) {
        unsigned int byte;
        if (sscanf(hex + 2 * i, "%2x", &byte) != 1) return -1;
        out[i] = (uint8_t)byte;
    }
    return 0;
}

int main(int argc, char **argv) {
    uint8_t key[KESTREL_KEY_LEN];
    if (argc != 2 || hex_to_bytes(argv[1], key, sizeof key) != 0) {
        fprintf(stderr, "usage: receipt_check KEYHEX < lines of AXIS POSITION VELOCITY RECEIPTHEX\n");
        return 2;
    }
    if (kestrel_receipt_guard_init(&guard, key) != 0) return 1;

    char line[512];
    while (fgets(line, sizeof line, stdin) != NULL) {
        int axis;
        char position[64], velocity[64], hex[2 * KESTREL_RECEIPT_WIRE_LEN + 2];
        uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN];
        if (sscanf(line, "%d %63s %63s %121s", &axis, position, velocity, hex) != 4 ||
            hex_to_bytes(hex, receipt, sizeof receipt) != 0) {
            fprintf(stderr, "bad line: %s", line);
            return 2;
        }
        const double p = strtod(position, NULL), v = strtod(velocity, NULL);
        const KestrelError verified = kestrel_receipt_verify(key, receipt, axis, p, v);
        const KestrelError guarded = kestrel_receipt_guard_check(&guard, receipt, axis, p, v);
        printf("verify=%d guard=%d\n", (int)verified, (int)guarded);
    }
    kestrel_receipt_guard_wipe(&guard);
    memset(key, 0, sizeof key);
    return 0;
}
