// The C face of Boundary, behind kestrel_boundary.h: a handle on the heap,
// because the boundary owns a lock and a mapped random state that must not
// move.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "boundary/boundary.hpp"
#include "boundary/process_mark.hpp"
#include "kestrel.h"

struct KestrelBoundary {
    kestrel::Boundary boundary;
    // The process that made the boundary: in a forked child, every entry
    // point that takes the lock refuses before it does, for another thread of
    // the parent may have held it at the fork and none would release it there.
    kestrel::ProcessMark owner = kestrel::ProcessMark::current();
};

namespace kestrel {
namespace {

// A failure that no argument can cause: reported, then the process stops.
[[noreturn]] void internal_fault(const char* what) noexcept {
    std::fprintf(stderr, "kestrel: internal fault: %s\n", what);
    std::abort();
}

KestrelError error_of(const Authorization& a) noexcept {
    switch (a.outcome) {
        case AuthorizeOutcome::Authorized:
            return KESTREL_OK;
        case AuthorizeOutcome::VelocityExceeded:
            return KESTREL_ERROR_VELOCITY_EXCEEDED;
        case AuthorizeOutcome::PositionOutOfRange:
            return KESTREL_ERROR_POSITION_OUT_OF_RANGE;
        case AuthorizeOutcome::RateLimited:
            return KESTREL_ERROR_RATE_LIMITED;
        case AuthorizeOutcome::RandomSourceFailed:
            return KESTREL_ERROR_RANDOM_SOURCE;
        case AuthorizeOutcome::Refused:
            return a.refusal;
    }
    internal_fault("an authorization outcome without an error value");
}

void report(KestrelError* error, KestrelError value) noexcept {
    if (error != nullptr) *error = value;
}

}  // namespace
}  // namespace kestrel

using namespace kestrel;

extern "C" {

KestrelBoundary* kestrel_boundary_new(const std::uint8_t key[KESTREL_KEY_LEN], std::uint64_t rate_limit,
                                      double max_velocity, KestrelError* error) {
    return kestrel_boundary_new_with_clock(key, rate_limit, max_velocity, nullptr, nullptr, error);
}

KestrelBoundary* kestrel_boundary_new_with_clock(const std::uint8_t key[KESTREL_KEY_LEN], std::uint64_t rate_limit,
                                                 double max_velocity, KestrelClock clock, void* context,
                                                 KestrelError* error) {
    if (key == nullptr) {
        report(error, KESTREL_ERROR_INVALID_POINTER);
        return nullptr;
    }
    const Key k = Key::from_bytes(key);
    if (k.is_zero()) {
        report(error, KESTREL_ERROR_ZERO_KEY);
        return nullptr;
    }
    auto* boundary = new (std::nothrow) KestrelBoundary{Boundary(k, rate_limit, max_velocity, Clock{clock, context})};
    // A controller that starts up short of memory gets an answer, not an abort.
    report(error, boundary == nullptr ? KESTREL_ERROR_OUT_OF_MEMORY : KESTREL_OK);
    return boundary;
}

KestrelError kestrel_boundary_rekey(KestrelBoundary* boundary, const std::uint8_t key[KESTREL_KEY_LEN]) {
    if (boundary == nullptr || key == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    if (!boundary->owner.belongs_here()) return KESTREL_ERROR_FORKED;
    const Key k = Key::from_bytes(key);
    if (k.is_zero()) return KESTREL_ERROR_ZERO_KEY;
    boundary->boundary.rekey(k);
    return KESTREL_OK;
}

KestrelError kestrel_boundary_set_axis_limits(KestrelBoundary* boundary, std::uint32_t count,
                                              const KestrelJointLimits* limits) {
    if (boundary == nullptr || (count != 0 && limits == nullptr)) return KESTREL_ERROR_INVALID_POINTER;
    if (!boundary->owner.belongs_here()) return KESTREL_ERROR_FORKED;
    if (count != 0) {
        KestrelJointFault fault;
        const KestrelError error = kestrel_joint_limiter_check(count, limits, 0.0, nullptr, nullptr, &fault);
        if (error != KESTREL_OK) return error;
    }
    boundary->boundary.set_axis_limits(count, limits);
    return KESTREL_OK;
}

void kestrel_boundary_free(KestrelBoundary* boundary) { delete boundary; }  // the replay gate wipes the key

KestrelError kestrel_boundary_authorize(KestrelBoundary* boundary, std::int32_t axis, double position, double velocity,
                                        std::uint8_t receipt[KESTREL_RECEIPT_WIRE_LEN]) {
    if (boundary == nullptr || receipt == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    if (!boundary->owner.belongs_here()) return KESTREL_ERROR_FORKED;
    const Authorization a = boundary->boundary.authorize(axis, position, velocity);
    if (a.outcome == AuthorizeOutcome::Authorized) {
        const ReceiptWire wire = a.receipt.to_wire();
        std::memcpy(receipt, wire.data(), wire.size());
    }
    return error_of(a);
}

}  // extern "C"
