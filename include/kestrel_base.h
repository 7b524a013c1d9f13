/*
 * kestrel_base.h - what every Kestrel header needs: the export marker, the
 * result-must-be-checked marker, the key and receipt sizes and the
 * compile-time layout check.
 */
#ifndef KESTREL_BASE_H
#define KESTREL_BASE_H

#include <stddef.h>
#include <stdint.h>

/* Marks the library's exported C functions; everything else is hidden. */
#if defined(KESTREL_BUILDING_LIBRARY)
#define KESTREL_API __attribute__((visibility("default")))
#else
#define KESTREL_API
#endif

/* On the functions whose result says whether something was accepted (a
 * receipt verified or checked, an action authorized, a command limited):
 * ignoring it is almost always a bug, so the compiler warns. */
#if defined(__GNUC__) || defined(__clang__)
#define KESTREL_MUST_CHECK __attribute__((warn_unused_result))
#else
#define KESTREL_MUST_CHECK
#endif

/* The two sizes every face of receipts shares: the boundary's key (an
 * HMAC-SHA-256 key; link keys and master keys alike) and a receipt's wire form
 * (nonce 12, timestamp_nanos 8, sequence_id 8, tag 32; kestrel_receipt.h). */
#define KESTREL_KEY_LEN          32
#define KESTREL_RECEIPT_WIRE_LEN 60

/* KESTREL_LAYOUT_ASSERT(condition, message) checks a published record layout
 * at compile time, in C and in C++ alike. */
#ifdef __cplusplus
#define KESTREL_LAYOUT_ASSERT(condition, message) static_assert(condition, message)
#define KESTREL_ALIGNOF(type)                     alignof(type)
#else
#define KESTREL_LAYOUT_ASSERT(condition, message) _Static_assert(condition, message)
#define KESTREL_ALIGNOF(type)                     _Alignof(type)
#endif

#endif /* KESTREL_BASE_H */
