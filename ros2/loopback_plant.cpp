// The loopback plant of kestrel_ros2_plant.h: it moves exactly as commanded.
#include <cmath>
#include <new>
#include <vector>

#include "kestrel_ros2_plant.h"

namespace {

struct Loopback {
    KestrelRos2Plant hook;  // first, so the hook's address is the plant's
    std::vector<double> positions, velocities;
};

int apply(void *context, uint32_t count, const double *, const double *velocities, double period) {
    auto *plant = static_cast<Loopback *>(context);
    if (count != plant->positions.size()) return 1;
    for (uint32_t j = 0; j < count; ++j) {
        plant->positions[j] += velocities[j] * period;
        plant->velocities[j] = velocities[j];
    }
    return 0;
}

int measure(void *context, uint32_t count, double *positions, double *velocities, double *efforts) {
    auto *plant = static_cast<Loopback *>(context);
    if (count != plant->positions.size()) return 1;
    for (uint32_t j = 0; j < count; ++j) {
        positions[j] = plant->positions[j];
        velocities[j] = plant->velocities[j];
        efforts[j] = NAN;
    }
    return 0;
}

}  // namespace

extern "C" KestrelRos2Plant *kestrel_ros2_loopback_plant_new(uint32_t count, const double *positions) {
    auto *plant = new (std::nothrow) Loopback;
    if (plant == nullptr) return nullptr;
    plant->hook = {plant, apply, measure};
    try {
        plant->positions.assign(positions, positions + count);
        plant->velocities.assign(count, 0.0);
    } catch (const std::bad_alloc &) {
        delete plant;
        return nullptr;
    }
    return &plant->hook;
}

extern "C" void kestrel_ros2_loopback_plant_free(KestrelRos2Plant *plant) {
    delete reinterpret_cast<Loopback *>(plant);
}
