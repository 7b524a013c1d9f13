// The C face of Watchdog, behind kestrel_watchdog.h: the rule in the caller's
// storage (placement/placed.hpp).
#include <cstdint>

#include "kestrel_watchdog.h"
#include "placement/placed.hpp"
#include "watchdog/watchdog.hpp"

namespace kestrel {
namespace {

constexpr std::uint64_t kWatchdogMark = 0x4b45535452454c57;  // "KESTRELW"
using PlacedWatchdog = Placed<Watchdog, KestrelWatchdog, KESTREL_WATCHDOG_ALIGN, kWatchdogMark>;

}  // namespace
}  // namespace kestrel

using namespace kestrel;

extern "C" {

KestrelError kestrel_watchdog_init(KestrelWatchdog* watchdog, std::uint64_t timeout_ns, KestrelClock clock,
                                   void* context) {
    if (!PlacedWatchdog::placeable(watchdog)) return KESTREL_ERROR_INVALID_POINTER;
    if (timeout_ns == 0) return KESTREL_ERROR_BAD_TIMEOUT;
    PlacedWatchdog::make(watchdog, timeout_ns, Clock{clock, context});
    return KESTREL_OK;
}

KestrelError kestrel_watchdog_feed(KestrelWatchdog* watchdog) {
    Watchdog* w = PlacedWatchdog::object(watchdog);
    if (w == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    w->feed();
    return KESTREL_OK;
}

KestrelError kestrel_watchdog_expired(KestrelWatchdog* watchdog, std::uint32_t* expired) {
    Watchdog* w = PlacedWatchdog::object(watchdog);
    if (w == nullptr || expired == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    *expired = w->expired() ? 1u : 0u;
    return KESTREL_OK;
}

}  // extern "C"
