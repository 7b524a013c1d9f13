// The C face of Monitor, behind kestrel_monitor.h: the refusals of init, and
// the state machine in the caller's storage with a mark that tells an
// initialised monitor from zeroed or never-initialised storage.
#include <cmath>
#include <cstdint>
#include <new>

#include "kestrel_monitor.h"
#include "limiter/limiter_state.hpp"
#include "monitor/monitor.hpp"

namespace kestrel::monitor {
namespace {

struct MonitorStorage {
    std::uint64_t live;  // kLive while `monitor` holds a constructed object
    Monitor monitor;
};
constexpr std::uint64_t kLive = 0x4b45535452454c4d;  // "KESTRELM"

static_assert(sizeof(MonitorStorage) <= KESTREL_MONITOR_SIZE, "the monitor outgrew its published size");
static_assert(alignof(MonitorStorage) <= KESTREL_MONITOR_ALIGN, "the monitor needs a wider alignment");
static_assert(std::is_trivially_destructible_v<Monitor>, "storage is reused without destruction");

MonitorStorage* storage_of(KestrelMonitor* monitor) noexcept {
    if (monitor == nullptr || reinterpret_cast<std::uintptr_t>(monitor) % KESTREL_MONITOR_ALIGN != 0) {
        return nullptr;
    }
    return reinterpret_cast<MonitorStorage*>(monitor->opaque);
}

Monitor* live_monitor(KestrelMonitor* monitor) noexcept {
    MonitorStorage* s = storage_of(monitor);
    return s != nullptr && s->live == kLive ? std::launder(&s->monitor) : nullptr;
}

const Monitor* live_monitor(const KestrelMonitor* monitor) noexcept {
    return live_monitor(const_cast<KestrelMonitor*>(monitor));  // only read through the result
}

}  // namespace
}  // namespace kestrel::monitor

using namespace kestrel::monitor;

extern "C" {

KestrelError kestrel_monitor_check_limits(std::uint32_t count, const KestrelJointLimits* limits,
                                          KestrelJointFault* fault) {
    if (limits == nullptr || fault == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    const KestrelError error = kestrel::limiter::check_joints(count, limits, 0.0, nullptr, nullptr, fault);
    if (error != KESTREL_OK) return error;
    for (std::uint32_t j = 0; j < count; ++j) {
        if (!std::isfinite(limits[j].max_velocity)) {
            *fault = {j, KESTREL_JOINT_MAX_VELOCITY, "max_velocity must be finite: the monitor's SLS and ramp need it"};
            return KESTREL_ERROR_BAD_LIMITS;
        }
        if (!std::isfinite(limits[j].max_acceleration)) {
            *fault = {j, KESTREL_JOINT_MAX_ACCELERATION,
                      "max_acceleration must be finite: the monitor's SLP and ramp need it"};
            return KESTREL_ERROR_BAD_LIMITS;
        }
    }
    return KESTREL_OK;
}

KestrelError kestrel_monitor_check_config(const KestrelMonitorConfig* config, const char** message) {
    if (config == nullptr || message == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    const KestrelMonitorConfig& c = *config;
    *message = nullptr;
    if (!(std::isfinite(c.position_tolerance) && c.position_tolerance >= 0.0)) {
        *message = "position_tolerance must be finite and >= 0";
    } else if (!(std::isfinite(c.velocity_tolerance) && c.velocity_tolerance >= 0.0)) {
        *message = "velocity_tolerance must be finite and >= 0";
    } else if (!(std::isfinite(c.standstill_velocity) && c.standstill_velocity > 0.0)) {
        *message = "standstill_velocity must be finite and > 0";
    } else if (c.stop != KESTREL_MONITOR_SS1 && c.stop != KESTREL_MONITOR_SS2) {
        *message = "stop must be SS1 or SS2";
    }
    return *message == nullptr ? KESTREL_OK : KESTREL_ERROR_BAD_MONITOR_CONFIG;
}

KestrelError kestrel_monitor_init(KestrelMonitor* monitor, std::uint32_t count, const KestrelJointLimits* limits,
                                  const KestrelMonitorConfig* config, KestrelClock clock, void* context) {
    MonitorStorage* s = storage_of(monitor);
    if (s == nullptr || limits == nullptr || config == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    KestrelJointFault fault;
    const KestrelError error = kestrel_monitor_check_limits(count, limits, &fault);
    if (error != KESTREL_OK) return error;
    const char* message = nullptr;
    if (kestrel_monitor_check_config(config, &message) != KESTREL_OK) return KESTREL_ERROR_BAD_MONITOR_CONFIG;
    new (&s->monitor) Monitor(count, limits, *config, kestrel::Clock{clock, context});
    s->live = kLive;
    return KESTREL_OK;
}

KestrelError kestrel_monitor_check(KestrelMonitor* monitor, const double* positions, const double* velocities,
                                   KestrelMonitorState* state) {
    Monitor* m = live_monitor(monitor);
    if (m == nullptr || positions == nullptr || velocities == nullptr || state == nullptr) {
        return KESTREL_ERROR_INVALID_POINTER;
    }
    *state = m->check(positions, velocities);
    return KESTREL_OK;
}

KestrelError kestrel_monitor_request_stop(KestrelMonitor* monitor) {
    Monitor* m = live_monitor(monitor);
    if (m == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    m->request_stop();
    return KESTREL_OK;
}

KestrelError kestrel_monitor_acknowledge(KestrelMonitor* monitor, std::uint32_t* acknowledged) {
    Monitor* m = live_monitor(monitor);
    if (m == nullptr || acknowledged == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    *acknowledged = m->acknowledge() ? 1u : 0u;
    return KESTREL_OK;
}

KestrelError kestrel_monitor_status(const KestrelMonitor* monitor, KestrelMonitorState* state, KestrelTrip* trip) {
    const Monitor* m = live_monitor(monitor);
    if (m == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    if (state != nullptr) *state = m->state;
    if (trip != nullptr) *trip = m->first;
    return KESTREL_OK;
}

KestrelError kestrel_monitor_last_trip(const KestrelMonitor* monitor, KestrelTrip* trip) {
    const Monitor* m = live_monitor(monitor);
    if (m == nullptr || trip == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    *trip = m->last;
    return KESTREL_OK;
}

KestrelError kestrel_monitor_refusal(const KestrelMonitor* monitor, KestrelTrip* why) {
    const Monitor* m = live_monitor(monitor);
    if (m == nullptr || why == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    *why = m->refusal;
    return KESTREL_OK;
}

const char* kestrel_safety_function_name(KestrelSafetyFunction function) {
    static const char* const names[] = {"none", "SLS", "SLP", "SOS", "SS1", "SS2", "request", "measurement"};
    return function < sizeof names / sizeof names[0] ? names[function] : nullptr;
}

const char* kestrel_monitor_state_name(KestrelMonitorState state) {
    static const char* const names[] = {"RUN", "STOPPING", "STANDSTILL", "TORQUE_OFF"};
    return state < sizeof names / sizeof names[0] ? names[state] : nullptr;
}

}  // extern "C"
