// The C face of Watchdog, behind kestrel_watchdog.h: the rule in the caller's
// storage, with a mark that tells an initialised watchdog from zeroed or
// never-initialised storage.
#include <cstdint>
#include <new>

#include "kestrel_watchdog.h"
#include "watchdog/watchdog.hpp"

namespace kestrel {
namespace {

struct WatchdogStorage {
    std::uint64_t live;  // kLive while `watchdog` holds a constructed object
    Watchdog watchdog;
};
constexpr std::uint64_t kLive = 0x4b45535452454c57;  // "KESTRELW"

static_assert(sizeof(WatchdogStorage) <= KESTREL_WATCHDOG_SIZE, "the watchdog outgrew its published size");
static_assert(alignof(WatchdogStorage) <= KESTREL_WATCHDOG_ALIGN, "the watchdog needs a wider alignment");

// The watchdog's storage, or null when the pointer is null or misaligned.
WatchdogStorage* storage_of(KestrelWatchdog* watchdog) noexcept {
    if (watchdog == nullptr || reinterpret_cast<std::uintptr_t>(watchdog) % KESTREL_WATCHDOG_ALIGN != 0) {
        return nullptr;
    }
    return reinterpret_cast<WatchdogStorage*>(watchdog->opaque);
}

// The live watchdog in that storage, or null.
Watchdog* live_watchdog(KestrelWatchdog* watchdog) noexcept {
    WatchdogStorage* s = storage_of(watchdog);
    return s != nullptr && s->live == kLive ? std::launder(&s->watchdog) : nullptr;
}

}  // namespace
}  // namespace kestrel

using namespace kestrel;

extern "C" {

KestrelError kestrel_watchdog_init(KestrelWatchdog* watchdog, std::uint64_t timeout_ns, KestrelClock clock,
                                   void* context) {
    WatchdogStorage* s = storage_of(watchdog);
    if (s == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    if (timeout_ns == 0) return KESTREL_ERROR_BAD_TIMEOUT;
    new (&s->watchdog) Watchdog(timeout_ns, Clock{clock, context});
    s->live = kLive;
    return KESTREL_OK;
}

KestrelError kestrel_watchdog_feed(KestrelWatchdog* watchdog) {
    Watchdog* w = live_watchdog(watchdog);
    if (w == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    w->feed();
    return KESTREL_OK;
}

KestrelError kestrel_watchdog_expired(KestrelWatchdog* watchdog, std::uint32_t* expired) {
    Watchdog* w = live_watchdog(watchdog);
    if (w == nullptr || expired == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    *expired = w->expired() ? 1u : 0u;
    return KESTREL_OK;
}

}  // extern "C"
