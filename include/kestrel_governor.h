/*
 * kestrel_governor.h - the Governor: one scalar command kept inside a safe
 * envelope [min_bound, max_bound].
 *
 * A governor is made once with its envelope and then projects commands into
 * it, one at a time or a whole array per call: a NaN command stays NaN, a
 * command below min_bound becomes min_bound, one above max_bound becomes
 * max_bound, and any other comes back unchanged. Everything is single
 * precision, as in the scalar kernel of kestrel.h that the governor runs.
 *
 * Every function returns a KestrelError (kestrel_error.h), KESTREL_OK on
 * success; a failed call writes nothing. Nothing here allocates, blocks or
 * fails for any command value.
 */
#ifndef KESTREL_GOVERNOR_H
#define KESTREL_GOVERNOR_H

#include "kestrel_base.h"
#include "kestrel_error.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Caller-placed storage of one governor: KESTREL_GOVERNOR_SIZE bytes,
 * KESTREL_GOVERNOR_ALIGN-aligned, contents private. Make it with kestrel_governor_init before any
 * other call. It holds no pointers and never changes after init, so it may be
 * copied, and any number of threads may project through one governor at once. */
#define KESTREL_GOVERNOR_SIZE  48
#define KESTREL_GOVERNOR_ALIGN 4
typedef struct KestrelGovernor {
    uint32_t opaque[KESTREL_GOVERNOR_SIZE / 4];
} KestrelGovernor;
KESTREL_LAYOUT_ASSERT(sizeof(KestrelGovernor) == KESTREL_GOVERNOR_SIZE, "governor size is published");
KESTREL_LAYOUT_ASSERT(KESTREL_ALIGNOF(KestrelGovernor) == KESTREL_GOVERNOR_ALIGN, "governor alignment is published");

/* kestrel_governor_init makes governor the governor of the envelope
 * [min_bound, max_bound] and returns KESTREL_OK. Refused, with the storage
 * not written:
 *   KESTREL_ERROR_INVALID_POINTER  governor is null or not 4-aligned
 *   KESTREL_ERROR_BAD_ENVELOPE     max_bound is not strictly greater than
 *                                  min_bound, or either is NaN (either may
 *                                  be infinite)
 * A governor that was made before is simply made again. */
KESTREL_API KestrelError kestrel_governor_init(KestrelGovernor *governor, float min_bound, float max_bound);

/* kestrel_governor_project writes u_desired projected into the envelope to
 * *projected and returns KESTREL_OK. KESTREL_ERROR_INVALID_POINTER, writing
 * nothing, if governor or projected is null, governor is misaligned, or
 * governor was never made by kestrel_governor_init. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_governor_project(const KestrelGovernor *governor, float u_desired,
                                                                     float *projected);

/* kestrel_governor_project_batch projects u_desired[0..count-1] into
 * projected[0..count-1], element by element as kestrel_governor_project does,
 * and returns KESTREL_OK. The two arrays may be the same array (the
 * projection is then in place) but must not overlap otherwise. With count 0
 * nothing is read or written and either array may be null.
 * KESTREL_ERROR_INVALID_POINTER, writing nothing, if governor is null,
 * misaligned or never made, or count is not 0 and an array is null. */
KESTREL_API KESTREL_MUST_CHECK KestrelError kestrel_governor_project_batch(const KestrelGovernor *governor,
                                                                           const float *u_desired, float *projected,
                                                                           size_t count);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_GOVERNOR_H */
