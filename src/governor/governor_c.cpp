// The C face of the Governor: a Governor placed in the caller's storage,
// behind a mark that tells a made governor from storage never initialised.
#include "kestrel_governor.h"

#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>

#include "governor/governor.hpp"

namespace kestrel {

namespace {

constexpr std::uint32_t kMade = 0x4B47564Fu;  // "OVGK": written last by init

struct PlacedGovernor {
    Governor governor;
    std::uint32_t made;
};
static_assert(sizeof(PlacedGovernor) <= sizeof(KestrelGovernor), "KESTREL_GOVERNOR_SIZE holds a governor");
static_assert(alignof(PlacedGovernor) <= alignof(KestrelGovernor), "a KestrelGovernor is aligned for a governor");
static_assert(std::is_trivially_copyable_v<PlacedGovernor>, "a governor may be copied as bytes");

bool aligned(const void* storage) noexcept {
    return reinterpret_cast<std::uintptr_t>(storage) % alignof(PlacedGovernor) == 0;
}

// The governor in storage, or nullptr for null, misaligned or never-made storage.
const Governor* made_governor(const KestrelGovernor* storage) noexcept {
    if (storage == nullptr || !aligned(storage)) return nullptr;
    const auto* placed = reinterpret_cast<const PlacedGovernor*>(storage);
    std::uint32_t made = 0;
    std::memcpy(&made, &placed->made, sizeof made);  // any bytes, even never written, read as a number
    if (made != kMade) return nullptr;
    // Made storage also holds a valid envelope, unless the caller wrote over it.
    if (!envelope_valid(placed->governor.min_bound(), placed->governor.max_bound())) return nullptr;
    return &placed->governor;
}

}  // namespace

}  // namespace kestrel

extern "C" {

KESTREL_API KestrelError kestrel_governor_init(KestrelGovernor* governor, float min_bound, float max_bound) {
    using namespace kestrel;
    if (governor == nullptr || !aligned(governor)) return KESTREL_ERROR_INVALID_POINTER;
    const std::optional<Governor> made = Governor::make(min_bound, max_bound);
    if (!made) return KESTREL_ERROR_BAD_ENVELOPE;
    new (governor) PlacedGovernor{*made, kMade};
    return KESTREL_OK;
}

KESTREL_API KestrelError kestrel_governor_project(const KestrelGovernor* governor, float u_desired, float* projected) {
    const kestrel::Governor* g = kestrel::made_governor(governor);
    if (g == nullptr || projected == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    *projected = g->project(u_desired);
    return KESTREL_OK;
}

KESTREL_API KestrelError kestrel_governor_project_batch(const KestrelGovernor* governor, const float* u_desired,
                                                        float* projected, size_t count) {
    const kestrel::Governor* g = kestrel::made_governor(governor);
    if (g == nullptr || (count != 0 && (u_desired == nullptr || projected == nullptr))) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    for (size_t i = 0; i < count; ++i) projected[i] = g->project(u_desired[i]);
    return KESTREL_OK;
}

}  // extern "C"
