/*
 * receipt_log.c - an auditable record of signed commands, written and
 * checked with the C library.
 *
 *   receipt_log write KEY_FILE LOG    sign 1000 commands (some refused), log
 *                                     them with a checkpoint every 100 lines
 *                                     and the final seal
 *   receipt_log verify KEY_FILE LOG   check a log; exit 0 for a whole, sealed
 *                                     log, 3 for one sealed only up to a
 *                                     checkpoint (its writer stopped), 1 for
 *                                     a log that fails, 2 if it cannot be read
 *
 * The log is the one `python3 -m kestrel verify-log` checks, and the verifier
 * here checks the package's logs: both sides use the same C core.
 */
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <kestrel.h>

static int read_key(const char *path, uint8_t key[KESTREL_KEY_LEN]) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) return -1;
    const int whole = fread(key, 1, 32, file) == 32 && fgetc(file) == EOF;
    fclose(file);
    return whole ? 0 : -1;
}

static uint64_t now_ns(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (uint64_t)now.tv_sec * 1000000000u + (uint64_t)now.tv_nsec;
}

static KestrelLogWriter writer; /* static storage: the published size and alignment */
static KestrelLogVerifier verifier;

static int write_log(const uint8_t key[KESTREL_KEY_LEN], FILE *log) {
    KestrelBoundary *boundary = kestrel_boundary_new(key, 100000, 2.0, NULL);
    if (boundary == NULL || kestrel_log_writer_init(&writer, key) != KESTREL_OK) return 1;
    char line[KESTREL_LOG_LINE_MAX];
    size_t length = 0;
    int failed = 0;
    for (int i = 0; i < 1000 && !failed; ++i) {
        const int32_t axis = i % 7;
        const double position = 0.001 * i, velocity = i % 50 == 49 ? 3.0 : 0.5; /* every 50th too fast */
        uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN];
        const KestrelError refusal = kestrel_boundary_authorize(boundary, axis, position, velocity, receipt);
        const KestrelError formed =
            refusal == KESTREL_OK
                ? kestrel_log_writer_record(&writer, axis, position, velocity, receipt, line, &length)
                : kestrel_log_writer_refusal(&writer, refusal, axis, position, velocity, now_ns(), line, &length);
        failed = formed != KESTREL_OK || fwrite(line, 1, length, log) != length;
        if (!failed && i % 100 == 99) {
            /* A checkpoint every 100 lines, on disk at once: a crash loses no more. */
            failed = kestrel_log_writer_seal(&writer, 0, line, &length) != KESTREL_OK ||
                     fwrite(line, 1, length, log) != length || fflush(log) != 0;
        }
    }
    failed = failed || kestrel_log_writer_seal(&writer, 1, line, &length) != KESTREL_OK ||
             fwrite(line, 1, length, log) != length;
    kestrel_log_writer_wipe(&writer);
    kestrel_boundary_free(boundary);
    return failed;
}

static int show(void *context, const KestrelLogFinding *finding) {
    (void)context;
    printf("line %llu: %s\n", (unsigned long long)finding->line, finding->text);
    return 0;
}

static int verify_log(const uint8_t key[KESTREL_KEY_LEN], FILE *log) {
    if (kestrel_log_verifier_init(&verifier, key) != KESTREL_OK) return 2;
    uint8_t chunk[1 << 16];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, log)) > 0) {
        if (kestrel_log_verifier_feed(&verifier, chunk, got, show, NULL) != KESTREL_OK) return 2;
    }
    KestrelLogSummary summary;
    if (ferror(log) || kestrel_log_verifier_finish(&verifier, show, NULL, &summary) != KESTREL_OK) return 2;
    kestrel_log_verifier_wipe(&verifier);
    static const char *const seal[] = {"missing", "valid", "invalid"};
    printf("lines %llu, accepted %llu, refusals velocity_exceeded=%llu, gaps %llu, seal %s, sealed through line %llu\n",
           (unsigned long long)summary.lines, (unsigned long long)summary.accepted,
           (unsigned long long)summary.refusals[KESTREL_ERROR_VELOCITY_EXCEEDED], (unsigned long long)summary.gaps,
           seal[summary.seal], (unsigned long long)summary.sealed_through);
    return summary.strict_verdict;
}

int main(int argc, char **argv) {
    uint8_t key[KESTREL_KEY_LEN];
    const int writing = argc == 4 && strcmp(argv[1], "write") == 0;
    if (argc != 4 || !(writing || strcmp(argv[1], "verify") == 0) || read_key(argv[2], key) != 0) {
        fprintf(stderr, "usage: receipt_log write|verify KEY_FILE (32 bytes) LOG\n");
        return 2;
    }
    FILE *log = fopen(argv[3], writing ? "w" : "rb");
    if (log == NULL) {
        perror(argv[3]);
        return 2;
    }
    const int result = writing ? write_log(key, log) : verify_log(key, log);
    memset(key, 0, sizeof key);
    return fclose(log) != 0 && writing ? 1 : result;
}
