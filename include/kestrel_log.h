/*
 * kestrel_log.h - the receipt log: writing it, and checking it afterwards.
 *
 * A receipt log is a text file with one line per action a boundary signed
 * (the action and its 60-byte receipt), one line per action it refused (the
 * kind of refusal, the action and the time), one line per trip of a safety
 * monitor (kestrel_monitor.h: the function, the joint, the value, the limit
 * and the time), and seal lines. A seal line
 * carries the number of lines before it and the SHA-256 of their bytes, and
 * a tag over both: HMAC-SHA-256 under a key derived from the boundary's key
 * (HMAC-SHA-256(key, "kestrel receipt log checkpoint") for a checkpoint,
 * HMAC-SHA-256(key, "kestrel receipt log seal") for the final seal), over
 * the count as u64 little-endian followed by the digest. Every seal covers
 * every line before it, earlier seals included. A writer puts a checkpoint
 * down every so often and the final seal when it closes the log, so a log
 * cut short, by a crash or by hand, is never taken for a finished one, and
 * a crashed writer's log still vouches for every line up to its last
 * checkpoint. A log changes keys at a rotation line: a seal under the old
 * key (HMAC-SHA-256(key, "kestrel receipt log rotation"), over the count, the
 * digest and the new key's fingerprint) that names the new key by its
 * fingerprint, the first 8 bytes of HMAC-SHA-256(new key, "kestrel key
 * fingerprint v1"), which reveals nothing of it; the lines after it are
 * under the new key. The lines' exact text is in the manual; a line is read
 * only in exactly the bytes a writer writes.
 *
 *   kestrel_log_writer_*    - one log being written: checks each receipt
 *                             before it is recorded and forms every line
 *   kestrel_log_verifier_*  - checks a log as a stream of bytes, in pieces
 *                             of any size, in memory that does not grow
 *
 * Both live in caller-provided storage (they hold no pointers), are opaque,
 * and are used by one thread at a time. Every function returns a
 * KestrelError (kestrel_error.h), KESTREL_OK on success; a null or
 * misaligned pointer, or storage not initialised, is answered with
 * KESTREL_ERROR_INVALID_POINTER and nothing is read or written. A failed
 * call changes nothing. Nothing here allocates, blocks or does I/O: the
 * caller reads and writes the file.
 */
#ifndef KESTREL_LOG_H
#define KESTREL_LOG_H

#include "kestrel_base.h"
#include "kestrel_error.h"
#include "kestrel_monitor.h" /* KestrelTrip */

#ifdef __cplusplus
extern "C" {
#endif

/* Room for the longest line a writer forms, its newline included. */
#define KESTREL_LOG_LINE_MAX 512
/* A line longer than this many bytes (newline excluded) is malformed. */
#define KESTREL_LOG_READ_MAX 1024
/* The bytes of a key's fingerprint, as a rotation line names the next key. */
#define KESTREL_LOG_FINGERPRINT_LEN 8

/* kestrel_log_key_fingerprint writes the fingerprint of the 32-byte key to
 * out and returns KESTREL_OK: the first 8 bytes of HMAC-SHA-256(key, "kestrel
 * key fingerprint v1"), the name a rotation line gives the key. */
KESTREL_API KestrelError kestrel_log_key_fingerprint(const uint8_t key[KESTREL_KEY_LEN],
                                                     uint8_t out[KESTREL_LOG_FINGERPRINT_LEN]);

/* ---- Writing ------------------------------------------------------------ */

#define KESTREL_LOG_WRITER_SIZE  17408
#define KESTREL_LOG_WRITER_ALIGN 64

typedef struct KestrelLogWriter {
#ifdef __cplusplus
    alignas(KESTREL_LOG_WRITER_ALIGN)
#else
    _Alignas(KESTREL_LOG_WRITER_ALIGN)
#endif
        unsigned char opaque[KESTREL_LOG_WRITER_SIZE];
} KestrelLogWriter;

/* kestrel_log_writer_init makes writer a writer of a new log under the
 * boundary's 32-byte key (copied in) and returns KESTREL_OK; a writer that
 * was live is wiped first. No line is written. */
KESTREL_API KestrelError kestrel_log_writer_init(KestrelLogWriter *writer, const uint8_t key[KESTREL_KEY_LEN]);

/* kestrel_log_writer_record forms the line of one authorized action and its
 * receipt (60-byte wire form) in line (NUL-terminated, not counted) and its
 * length, newline included, in *length, and returns KESTREL_OK. The caller
 * must write that line to the log before it forms the next one: the writer
 * has taken it into the digest its next seal covers. Refused, with nothing
 * formed and the writer unchanged, as a receipt guard under the same key
 * refuses it (kestrel_receipt_guard_check): KESTREL_ERROR_AUTHENTICATION_FAILURE
 * if the tag does not match the action, KESTREL_ERROR_REPLAY_COUNTER if the
 * sequence id is not above the last recorded one, KESTREL_ERROR_REPLAY_NONCE
 * for a nonce among the last 1024 recorded; so every log written through
 * here verifies. KESTREL_ERROR_LOG_CLOSED after the final seal. Numbers are
 * kept bit for bit, NaN included. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_log_writer_record(KestrelLogWriter *writer, int32_t axis,
                                                                      double position, double velocity,
                                                                      const uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN],
                                                                      char line[KESTREL_LOG_LINE_MAX], size_t *length);

/* kestrel_log_writer_refusal forms the line of an action the boundary refused,
 * as kestrel_log_writer_record forms a record's (same duties for the caller):
 * the refusal `kind` (a nonzero KestrelError with a name, such as
 * KESTREL_ERROR_VELOCITY_EXCEEDED), the action and time_ns, the wall clock
 * in nanoseconds since the Unix epoch. KESTREL_ERROR_LOG_REFUSAL_KIND for a
 * kind without a name; KESTREL_ERROR_LOG_CLOSED after the final seal. */
KESTREL_API KestrelError kestrel_log_writer_refusal(KestrelLogWriter *writer, KestrelError kind, int32_t axis,
                                                    double position, double velocity, uint64_t time_ns,
                                                    char line[KESTREL_LOG_LINE_MAX], size_t *length);

/* kestrel_log_writer_trip forms the line of a monitor's trip, as
 * kestrel_log_writer_record forms a record's (same duties for the caller):
 * its function's name ("SLP"), joint, value, limit and time_ns, sealed like
 * every other line. KESTREL_ERROR_LOG_TRIP_FUNCTION for KESTREL_TRIP_NONE or
 * an unknown function; KESTREL_ERROR_LOG_CLOSED after the final seal. */
KESTREL_API KestrelError kestrel_log_writer_trip(KestrelLogWriter *writer, const KestrelTrip *trip,
                                                 char line[KESTREL_LOG_LINE_MAX], size_t *length);

/* kestrel_log_writer_seal forms a seal line over every line formed so far
 * (same duties for the caller): a checkpoint if final is 0, else the final
 * seal, after which the writer refuses every call but wipe with
 * KESTREL_ERROR_LOG_CLOSED. A checkpoint is itself a line the next seal
 * covers. Write and flush it at once: a crash loses no more than the lines
 * after the last seal on disk. */
KESTREL_API KestrelError kestrel_log_writer_seal(KestrelLogWriter *writer, int final, char line[KESTREL_LOG_LINE_MAX],
                                                 size_t *length);

/* If writing a line fails, or writes only part of it, form no further line
 * with that writer (wipe it): the log on disk then ends as a crashed
 * writer's does, cut at the failure, and verifies as such (torn or
 * unfinished), never as tampered. */

/* kestrel_log_writer_rekey forms a rotation line (same duties for the
 * caller) and goes on under the 32-byte `key` (copied in): the line seals
 * every line formed so far under the old key and names the new one by its
 * fingerprint; the records after it are checked under the new key, and the
 * sequence ids and nonces recorded carry on, as a boundary's do across
 * kestrel_boundary_rekey. Rekey the writer and the boundary together, with
 * no record between: a receipt signed under one key is refused by a writer
 * under the other. KESTREL_ERROR_ZERO_KEY for 32 zero bytes and
 * KESTREL_ERROR_LOG_CLOSED after the final seal, nothing formed. A rotation
 * is a seal: write and flush it at once. */
KESTREL_API KestrelError kestrel_log_writer_rekey(KestrelLogWriter *writer, const uint8_t key[KESTREL_KEY_LEN],
                                                  char line[KESTREL_LOG_LINE_MAX], size_t *length);

/* kestrel_log_writer_lines writes to *lines how many lines the writer has
 * formed, seals included, and returns KESTREL_OK. Changes nothing. */
KESTREL_API KestrelError kestrel_log_writer_lines(const KestrelLogWriter *writer, uint64_t *lines);

/* kestrel_log_writer_wipe overwrites the whole writer, its keys included,
 * with zeros the compiler cannot elide, and returns KESTREL_OK; every other
 * call then answers KESTREL_ERROR_INVALID_POINTER until the next init. */
KESTREL_API KestrelError kestrel_log_writer_wipe(KestrelLogWriter *writer);

/* ---- Checking ----------------------------------------------------------- */

#define KESTREL_LOG_VERIFIER_SIZE  20480
#define KESTREL_LOG_VERIFIER_ALIGN 64
/* Counts by KestrelError are kept for the values below this. */
#define KESTREL_LOG_KINDS 64
/* Trip lines are counted by KestrelSafetyFunction, for the values below this. */
#define KESTREL_LOG_TRIP_FUNCTIONS 8
/* The keys one verifier holds: the first and those added. */
#define KESTREL_LOG_MAX_KEYS 16

typedef struct KestrelLogVerifier {
#ifdef __cplusplus
    alignas(KESTREL_LOG_VERIFIER_ALIGN)
#else
    _Alignas(KESTREL_LOG_VERIFIER_ALIGN)
#endif
        unsigned char opaque[KESTREL_LOG_VERIFIER_SIZE];
} KestrelLogVerifier;

/* What the verifier reports as it goes, one line at a time. */
typedef enum KestrelLogFindingKind {
    KESTREL_LOG_REFUSED = 1,          /* a record a receipt guard refuses; error says why */
    KESTREL_LOG_MALFORMED = 2,        /* a line no writer writes */
    KESTREL_LOG_BAD_SEAL = 3,         /* a seal line that is not a writer's text, or does not hold */
    KESTREL_LOG_GAP = 4,              /* sequence ids missing before an accepted record */
    KESTREL_LOG_AFTER_FINAL_SEAL = 5, /* the first line after a final seal that holds */
    KESTREL_LOG_TORN = 6,             /* a last line without its newline, whatever it holds: a writer
                                         stopped in the middle of it; not checked */
    KESTREL_LOG_UNKNOWN_KEY = 7       /* a rotation to a key the verifier was not given: the lines
                                         after it are not checked */
} KestrelLogFindingKind;

typedef struct KestrelLogFinding {
    uint64_t line;      /* 1-based line number */
    int32_t kind;       /* a KestrelLogFindingKind */
    KestrelError error; /* KESTREL_LOG_REFUSED: the guard's refusal; otherwise 0 */
    const char *text;   /* what is wrong, in English, for a person (printable ASCII, bytes of the
                          line quoted in it shown as '?' otherwise); valid during the call */
} KestrelLogFinding;

/* Called once per finding, in line order; return 0 to go on, anything else
 * to stop the check (kestrel_log_verifier_feed then returns
 * KESTREL_ERROR_LOG_STOPPED). */
typedef int (*KestrelLogFindingFn)(void *context, const KestrelLogFinding *finding);

/* The seal states of a summary. */
#define KESTREL_LOG_SEAL_MISSING 0 /* no seal line fails, and the log does not end with a final seal */
#define KESTREL_LOG_SEAL_VALID   1 /* the last line is a final seal that holds, and no seal line fails */
#define KESTREL_LOG_SEAL_INVALID 2 /* a seal line fails */

/* The verdicts: for a plain check, KESTREL_LOG_FAILED iff a line was
 * refused, malformed or a failing seal; else KESTREL_LOG_UNCHECKED iff some
 * lines are under a key the verifier was not given (unchecked > 0); else
 * KESTREL_LOG_OK. For a strict one, KESTREL_LOG_FAILED also for a missing
 * sequence id or a line after a final seal; else KESTREL_LOG_UNCHECKED as
 * above; else KESTREL_LOG_OK iff seal is KESTREL_LOG_SEAL_VALID; else
 * KESTREL_LOG_UNFINISHED: nothing is wrong, but the log does not end with a
 * final seal, as a writer that stopped without closing (crashed, killed, or
 * whose disk filled) leaves it; the lines through sealed_through (0: none)
 * are vouched for. A torn last line fails neither check: it comes after the
 * last seal by construction, and a log cut at any byte is never FAILED. */
#define KESTREL_LOG_OK         0
#define KESTREL_LOG_FAILED     1
#define KESTREL_LOG_UNCHECKED  2
#define KESTREL_LOG_UNFINISHED 3

typedef struct KestrelLogSummary {
    uint64_t lines;                       /* lines read, a last one without newline included */
    uint64_t accepted;                    /* records whose receipts the guard accepted */
    uint64_t malformed;                   /* KESTREL_LOG_MALFORMED lines */
    uint64_t bad_seals;                   /* KESTREL_LOG_BAD_SEAL lines */
    uint64_t refused[KESTREL_LOG_KINDS];  /* KESTREL_LOG_REFUSED records, by the guard's KestrelError */
    uint64_t refusals[KESTREL_LOG_KINDS]; /* refusal lines, by the KestrelError they record */
    uint64_t gaps;                        /* KESTREL_LOG_GAP findings */
    uint64_t first_bad_line;              /* first refused, malformed or bad seal line; 0: none */
    uint64_t first_gap_line;              /* 0: none */
    uint64_t sealed_through;              /* line of the last seal (either kind) that holds; 0: none */
    uint64_t final_seal_line;             /* line of the last final seal that holds; 0: none */
    uint64_t after_final_seal;            /* first line after a final seal that holds; 0: none */
    uint64_t torn_line;                   /* 0: none */
    int32_t seal;                         /* KESTREL_LOG_SEAL_* */
    int32_t verdict;                      /* KESTREL_LOG_OK, _FAILED or _UNCHECKED */
    int32_t strict_verdict;               /* KESTREL_LOG_OK, _FAILED, _UNCHECKED or _UNFINISHED */
    int32_t reserved;
    uint64_t trips[KESTREL_LOG_TRIP_FUNCTIONS]; /* trip lines, by the KestrelSafetyFunction they record */
    uint64_t rotations;                   /* rotation lines that hold */
    uint64_t unchecked;                   /* records and seals under a key not given */
    uint64_t first_unchecked_line;        /* first line under a key not given; 0: none */
} KestrelLogSummary;

/* kestrel_log_verifier_init makes verifier a check of a new log under the
 * boundary's 32-byte key (copied in) and returns KESTREL_OK; a verifier that
 * was live is wiped first. The records are checked by a receipt guard under
 * that key, so a line whose tag does not match its action, a repeated line
 * and a line out of order are refused. */
KESTREL_API KestrelError kestrel_log_verifier_init(KestrelLogVerifier *verifier, const uint8_t key[KESTREL_KEY_LEN]);

/* kestrel_log_verifier_add_key gives the verifier one more key (copied in)
 * that the log may be under, and returns KESTREL_OK: a log that rotates
 * keys is checked under each key its rotation lines name by fingerprint,
 * and one given no key of a segment reports KESTREL_LOG_UNKNOWN_KEY and
 * leaves that segment's lines unchecked. The log's first segment is under
 * the key given under which its first record or seal holds; if none does,
 * that segment too is reported as under a key not given (with one key, its
 * lines fail under it instead). KESTREL_ERROR_LOG_KEYS when it holds
 * KESTREL_LOG_MAX_KEYS keys; KESTREL_ERROR_LOG_CLOSED after finish. Give
 * every key before the first feed. */
KESTREL_API KestrelError kestrel_log_verifier_add_key(KestrelLogVerifier *verifier, const uint8_t key[KESTREL_KEY_LEN]);

/* kestrel_log_verifier_feed checks the next `size` bytes of the log (data
 * may be null when size is 0): every line they complete, in order, calling
 * on_finding (may be null) for each finding. A line split across two feeds
 * is checked when its newline arrives. Returns KESTREL_OK, or
 * KESTREL_ERROR_LOG_STOPPED if on_finding asked to stop (the line it was
 * told about counts as read; feed no more), or KESTREL_ERROR_LOG_CLOSED
 * after kestrel_log_verifier_finish. Time per line: one receipt check, the
 * SHA-256 of its bytes, and for a seal line two HMAC-SHA-256. */
KESTREL_API KestrelError kestrel_log_verifier_feed(KestrelLogVerifier *verifier, const uint8_t *data, size_t size,
                                                   KestrelLogFindingFn on_finding, void *context);

/* kestrel_log_verifier_finish reports a last line without its newline as
 * KESTREL_LOG_TORN (it is not checked, whatever it holds), writes
 * the summary of the whole log to *summary and returns KESTREL_OK (or the
 * returns of feed for on_finding). Afterwards feed and finish answer
 * KESTREL_ERROR_LOG_CLOSED; init starts again. */
KESTREL_API KestrelError kestrel_log_verifier_finish(KestrelLogVerifier *verifier, KestrelLogFindingFn on_finding,
                                                     void *context, KestrelLogSummary *summary);

/* kestrel_log_verifier_wipe overwrites the whole verifier, its keys included,
 * with zeros the compiler cannot elide, and returns KESTREL_OK. */
KESTREL_API KestrelError kestrel_log_verifier_wipe(KestrelLogVerifier *verifier);

/* kestrel_log_finding_name returns the short name of a finding kind:
 * "refused", "malformed", "seal", "gap", "after_final_seal", "torn",
 * "unknown_key"; and
 * "unknown" for any other value. Never NULL; static storage. */
KESTREL_API const char *kestrel_log_finding_name(int32_t kind);

#ifdef __cplusplus
} /* extern "C" */
#endif

KESTREL_LAYOUT_ASSERT(sizeof(KestrelLogWriter) == KESTREL_LOG_WRITER_SIZE, "writer size is published");
KESTREL_LAYOUT_ASSERT(sizeof(KestrelLogVerifier) == KESTREL_LOG_VERIFIER_SIZE, "verifier size is published");

#endif /* KESTREL_LOG_H */
