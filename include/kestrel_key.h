/*
 * kestrel_key.h - the keys of a cell: one link key per receiver, derived
 * from the controller's master key, and key files.
 *
 * A receiver beside an actuator holds a key that a thief can read out of its
 * chip. Give each link its own key, derived from one master key that only the
 * controller holds, so that a key read out of one receiver forges commands
 * for that link alone:
 *
 *   link key = HKDF-SHA-256(salt = "kestrel link key v1", IKM = master key,
 *                           info = link id, L = 32)        (RFC 5869)
 *
 * The controller signs each link's commands with a boundary under that link's
 * key; the receiver is provisioned with its link key only.
 *
 * Not in the microcontroller's receiver library: derive keys on a host and
 * provision the results.
 */
#ifndef KESTREL_KEY_H
#define KESTREL_KEY_H

#include "kestrel_base.h"
#include "kestrel_error.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KESTREL_LINK_ID_MAX_LEN 255

/* kestrel_derive_key writes to out the 32-byte link key of link_id (1 to 255
 * bytes, any bytes; a UTF-8 name such as "cell-3/axis-5" is usual) under
 * master, by the formula above, and returns KESTREL_OK. Otherwise returns,
 * with out untouched:
 *   KESTREL_ERROR_INVALID_POINTER   master, out or link_id is null
 *   KESTREL_ERROR_BAD_LINK_ID       link_id_len is 0 or above 255
 *   KESTREL_ERROR_ZERO_KEY          master is 32 zero bytes
 *   KESTREL_ERROR_KEY_DERIVATION    the cryptographic library failed (out of
 *                                   memory, or HKDF not available)
 * out may be master. Deterministic: the same master and link id give the same
 * key on every host. Copies of the master made here are wiped. Allocates
 * (inside the cryptographic library); any thread, any time. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_derive_key(const uint8_t master[KESTREL_KEY_LEN],
                                                               const uint8_t *link_id, size_t link_id_len,
                                                               uint8_t out[KESTREL_KEY_LEN]);

/* kestrel_key_file_read reads the key file at path into key and returns
 * KESTREL_OK. A key file is a regular file of exactly 32 raw bytes that
 * neither its group nor others may read or write (mode 0600 or 0400;
 * `python3 -m kestrel keygen FILE` makes one). Otherwise returns, with key
 * untouched:
 *   KESTREL_ERROR_INVALID_POINTER   path or key is null
 *   KESTREL_ERROR_KEY_FILE          the file cannot be opened or read, is not
 *                                   a regular file, does not hold exactly 32
 *                                   bytes, or others may read or write it
 *                                   (judged in this order)
 * and, if message is not null and message_size > 0, writes there one line
 * (NUL-terminated, cut to message_size) that names the file, says what is
 * wrong and how to mend it ("link.key: a key file must be its owner's alone,
 * but others may read or write this one (mode 644); fix it with: chmod 600
 * link.key"). On success message
 * holds "". The file is read once; copies of the key made here are wiped.
 * A key of 32 zero bytes is read like any other: the boundary and the guard's
 * next key refuse it where it is used.
 * Any thread. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_key_file_read(const char *path, uint8_t key[KESTREL_KEY_LEN],
                                                                  char *message, size_t message_size);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_KEY_H */
