/*
 * kestrel.h - the C interface of the Kestrel library; it includes the rest:
 *
 *   kestrel_solve.h         the projection kernels and their records
 *   kestrel_error.h         KestrelError, the one error convention, and its names
 *   kestrel_governor.h      one scalar command kept inside a safe envelope
 *   kestrel_boundary.h      signing commands: the boundary that issues receipts
 *   kestrel_receipt.h       checking receipts on the receiving side
 *   kestrel_frame.h         the signed command frame: an action with its receipt
 *   kestrel_joint_limiter.h per-joint kinematic limits
 *   kestrel_clock.h         a clock the caller keeps, for the objects that read the time
 *   kestrel_watchdog.h      the actuator side's watchdog: rest when commands stop
 *   kestrel_key.h           link keys derived from a master key, key files
 *   kestrel_log.h           the receipt log: writing and checking it
 */
#ifndef KESTREL_H
#define KESTREL_H

#include "kestrel_base.h"
#include "kestrel_error.h"
#include "kestrel_solve.h"         /* the projection kernels */
#include "kestrel_governor.h"      /* one scalar command inside a safe envelope */
#include "kestrel_boundary.h"      /* signing actuator commands */
#include "kestrel_receipt.h"       /* receipt verification and the replay guard */
#include "kestrel_frame.h"         /* the signed command frame */
#include "kestrel_joint_limiter.h" /* per-joint kinematic limits */
#include "kestrel_clock.h"         /* a clock the caller keeps */
#include "kestrel_watchdog.h"      /* rest when commands stop */
#include "kestrel_monitor.h"       /* the drive safety functions on measured motion */
#include "kestrel_key.h"           /* link keys derived from a master key, key files */
#include "kestrel_log.h"           /* the receipt log: writing and checking it */

#endif /* KESTREL_H */
