// Fuzz target for the C monitor (kestrel_monitor.h).
//
// The input is a configuration and a program against one monitor:
//   byte    joints - 1 (mod 8)
//   byte    stop (SS2 when odd), then three tolerance codes (see magnitude)
//   per joint five limit codes (see magnitude; 255 absent)
//   then operations until the input ends, each a byte and its arguments:
//     0 check: a clock step code, then a position and a velocity code per joint
//     1 request_stop (after a clock step code)
//     2 acknowledge
//     3 check with raw doubles: a clock step code, then 16 bytes per joint
// A configuration init refuses ends the run (nothing may have been written).
// After every call: the call returns KESTREL_OK; the state is one of the
// four; TORQUE_OFF and STANDSTILL are left only through an accepted
// acknowledge, which leaves for RUN with no trip recorded; any other change
// of state records a trip (a stop that comes to rest excepted); a non-finite
// measurement never leaves the monitor in RUN; every trip names a function.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "kestrel.h"

#include "fuzz_reader.hpp"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint32_t kMaxJoints = 8;
constexpr long kMaxCalls = 4096;

[[noreturn]] void fail(const char* what, long call) {
    std::fprintf(stderr, "call %ld: %s\n", call, what);
    std::abort();
}

// A positive magnitude from one byte: 2^((b - 128) / 4), about 1e-10 .. 1e9;
// 255 means absent (infinite), 0 means 0.
double magnitude(std::uint8_t b) {
    return b == 255 ? kInf : b == 0 ? 0.0 : std::exp2((static_cast<double>(b) - 128.0) / 4.0);
}

// A measured value from one byte: NaN, +-inf, or a multiple of `scale` from -4 to 4.
double measured(std::uint8_t b, double scale) {
    if (b == 0) return std::numeric_limits<double>::quiet_NaN();
    if (b == 1) return kInf;
    if (b == 2) return -kInf;
    return scale * (static_cast<double>(b) - 130.0) / 31.0;
}

std::uint64_t read_time(void* context) { return *static_cast<std::uint64_t*>(context); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzReader in(data, size);
    const std::uint32_t count = in.byte() % kMaxJoints + 1;
    KestrelMonitorConfig config{};
    config.stop = in.byte() % 2 == 1 ? KESTREL_MONITOR_SS2 : KESTREL_MONITOR_SS1;
    config.position_tolerance = magnitude(in.byte());
    config.velocity_tolerance = magnitude(in.byte());
    config.standstill_velocity = magnitude(in.byte());
    KestrelJointLimits limits[kMaxJoints];
    for (std::uint32_t j = 0; j < count; ++j) {
        const double lo = magnitude(in.byte()), hi = magnitude(in.byte());
        limits[j] = {-lo, hi, magnitude(in.byte()), magnitude(in.byte()), magnitude(in.byte())};
    }
    std::uint64_t now = 1700000000000000000ull;
    KestrelMonitor monitor;
    std::memset(&monitor, 0xa5, sizeof monitor);
    if (kestrel_monitor_init(&monitor, count, limits, &config, read_time, &now) != KESTREL_OK) {
        for (unsigned char byte : monitor.opaque) {
            if (byte != 0xa5) fail("a refused init wrote the storage", 0);
        }
        return 0;
    }
    KestrelMonitorState state = KESTREL_MONITOR_RUN;
    for (long call = 1; call <= kMaxCalls && !in.done(); ++call) {
        const std::uint8_t op = in.byte() % 4;
        const KestrelMonitorState before = state;
        KestrelTrip first_before{};
        if (kestrel_monitor_status(&monitor, nullptr, &first_before) != KESTREL_OK) fail("status refused", call);
        bool finite = true, acknowledged = false;
        if (op == 2) {
            std::uint32_t yes = 7;
            if (kestrel_monitor_acknowledge(&monitor, &yes) != KESTREL_OK || yes > 1) fail("acknowledge", call);
            acknowledged = yes == 1;
        } else {
            now += static_cast<std::uint64_t>(in.byte()) * 50000;  // 0 .. 12.75 ms
            if (op == 1) {
                if (kestrel_monitor_request_stop(&monitor) != KESTREL_OK) fail("request_stop refused", call);
            } else {
                double p[kMaxJoints], v[kMaxJoints];
                for (std::uint32_t j = 0; j < count; ++j) {
                    if (op == 3) {
                        p[j] = in.value<double>();
                        v[j] = in.value<double>();
                    } else {
                        const double span = std::isfinite(limits[j].max_position) ? limits[j].max_position : 1.0;
                        p[j] = measured(in.byte(), span);
                        v[j] = measured(in.byte(), limits[j].max_velocity);
                    }
                    finite = finite && std::isfinite(p[j]) && std::isfinite(v[j]);
                }
                KestrelMonitorState answer = 99;
                if (kestrel_monitor_check(&monitor, p, v, &answer) != KESTREL_OK) fail("check refused", call);
                if (answer > KESTREL_MONITOR_TORQUE_OFF) fail("an unknown state", call);
            }
        }
        KestrelTrip first{}, last{};
        if (kestrel_monitor_status(&monitor, &state, &first) != KESTREL_OK ||
            kestrel_monitor_last_trip(&monitor, &last) != KESTREL_OK) {
            fail("status refused", call);
        }
        if (kestrel_safety_function_name(first.function) == nullptr ||
            kestrel_safety_function_name(last.function) == nullptr) {
            fail("a trip without a function", call);
        }
        const bool latched = before == KESTREL_MONITOR_TORQUE_OFF || before == KESTREL_MONITOR_STANDSTILL;
        if (acknowledged && (state != KESTREL_MONITOR_RUN || first.function != KESTREL_TRIP_NONE)) {
            fail("an accepted acknowledge left a trip or another state", call);
        }
        if (latched && !acknowledged && state != before && state != KESTREL_MONITOR_TORQUE_OFF) {
            fail("a latched state left without an acknowledge", call);
        }
        if (before == KESTREL_MONITOR_TORQUE_OFF && !acknowledged && state != before) fail("TORQUE_OFF left", call);
        if (op != 2 && !finite && before != KESTREL_MONITOR_TORQUE_OFF && state == KESTREL_MONITOR_RUN) {
            fail("a non-finite measurement left the monitor running", call);
        }
        if (before == KESTREL_MONITOR_RUN && state != KESTREL_MONITOR_RUN && first.function == KESTREL_TRIP_NONE) {
            fail("RUN left without a trip", call);
        }
        if (first_before.function != KESTREL_TRIP_NONE && !acknowledged &&
            std::memcmp(&first, &first_before, sizeof first) != 0) {
            fail("the first trip changed", call);
        }
    }
    return 0;
}
