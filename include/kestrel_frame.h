/*
 * kestrel_frame.h - the signed command frame: one action and its receipt in
 * 84 bytes, so that a receiver checks exactly the bits that were signed.
 *
 *   bytes   field
 *   0       format version, KESTREL_FRAME_VERSION (1)
 *   1..3    zero (reserved)
 *   4..7    axis, int32 little-endian
 *   8..15   position, IEEE-754 double little-endian
 *   16..23  velocity, IEEE-754 double little-endian
 *   24..83  the receipt's 60-byte wire form (kestrel_receipt.h)
 *
 * Bytes 8..23 are the very payload the receipt's tag covers. Doubles travel
 * bit for bit: the sign of a zero and the payload of a NaN are kept. A frame
 * whose version is not 1 or whose reserved bytes are not all zero is refused
 * whole, so that a later format can give them a meaning without an old
 * receiver misreading it. A receiver refuses a datagram or record that is
 * not exactly KESTREL_FRAME_LEN bytes long before it gets here.
 *
 * kestrel_receipt_guard_check_frame (kestrel_receipt.h) decodes a frame and
 * checks its receipt in one call. Nothing here allocates, blocks or keeps
 * state; any thread may call it at any time.
 */
#ifndef KESTREL_FRAME_H
#define KESTREL_FRAME_H

#include "kestrel_base.h"
#include "kestrel_error.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KESTREL_FRAME_LEN     84
#define KESTREL_FRAME_VERSION 1

/* One action with its receipt, as a frame carries it. */
typedef struct KestrelFrame {
    int32_t axis;                              /* the axis the action is for */
    double position;                           /* requested position, bit for bit */
    double velocity;                           /* commanded velocity, bit for bit */
    uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN]; /* the receipt's wire form */
} KestrelFrame;

/* kestrel_frame_encode writes the 84-byte frame of *frame to out (version 1,
 * reserved bytes zero) and returns KESTREL_OK; every record encodes.
 * KESTREL_ERROR_INVALID_POINTER, writing nothing, if either pointer is
 * null. */
KESTREL_API KestrelError kestrel_frame_encode(const KestrelFrame *frame, uint8_t out[KESTREL_FRAME_LEN]);

/* kestrel_frame_decode reads the 84-byte frame into *out and returns
 * KESTREL_OK, or refuses it with KESTREL_ERROR_INVALID_FRAME (version not 1,
 * or a reserved byte not zero) or KESTREL_ERROR_INVALID_POINTER (a null
 * pointer), writing nothing to out. It checks the layout, not the receipt:
 * a decoded frame is no more trustworthy than its bytes. decode(encode(f))
 * gives f back bit for bit. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_frame_decode(const uint8_t frame[KESTREL_FRAME_LEN],
                                                                 KestrelFrame *out);

#ifdef __cplusplus
} /* extern "C" */
#endif

KESTREL_LAYOUT_ASSERT(sizeof(KestrelFrame) == 88 && KESTREL_ALIGNOF(KestrelFrame) == 8 &&
                          offsetof(KestrelFrame, position) == 8 && offsetof(KestrelFrame, velocity) == 16 &&
                          offsetof(KestrelFrame, receipt) == 24,
                      "KestrelFrame layout is published");

#endif /* KESTREL_FRAME_H */
