// The C face of the Governor: a Governor placed in the caller's storage
// (placement/placed.hpp).
#include "kestrel_governor.h"

#include <optional>
#include <type_traits>

#include "governor/governor.hpp"
#include "placement/placed.hpp"

namespace kestrel {

namespace {

// A 32-bit mark: the storage is only 4-aligned.
constexpr std::uint32_t kGovernorMark = 0x4B47564Fu;  // "OVGK"
using PlacedGovernor = Placed<Governor, KestrelGovernor, KESTREL_GOVERNOR_ALIGN, kGovernorMark>;
static_assert(std::is_trivially_copyable_v<Governor>, "a governor may be copied as bytes");

// The governor in storage, or nullptr for null, misaligned or never-made storage.
const Governor* made_governor(const KestrelGovernor* storage) noexcept {
    const Governor* governor = PlacedGovernor::object(storage);
    // Made storage also holds a valid envelope, unless the caller wrote over it.
    if (governor == nullptr || !envelope_valid(governor->min_bound(), governor->max_bound())) return nullptr;
    return governor;
}

}  // namespace

}  // namespace kestrel

extern "C" {

KESTREL_API KestrelError kestrel_governor_init(KestrelGovernor* governor, float min_bound, float max_bound) {
    using namespace kestrel;
    if (!PlacedGovernor::placeable(governor)) return KESTREL_ERROR_INVALID_POINTER;
    const std::optional<Governor> made = Governor::make(min_bound, max_bound);
    if (!made) return KESTREL_ERROR_BAD_ENVELOPE;
    PlacedGovernor::make(governor, *made);
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
