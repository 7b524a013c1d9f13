// The monitor through its C API: the limiter's own motion (stops included)
// trips nothing while a stop at half the ramp's deceleration is cut off; SLP
// trips early; what cannot be judged trips in its period; the latches and
// their acknowledge; the refusals of init.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kestrel.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::uint64_t kPeriodNs = 1000000;  // 1 kHz
constexpr double kDt = 1e-3;

std::uint64_t read_time(void* context) { return *static_cast<std::uint64_t*>(context); }

// A 7-joint arm; profile 1 slow with a soft jerk, profile 2 with a joint
// without position limits and one without a jerk limit.
std::vector<KestrelJointLimits> arm(int profile) {
    std::vector<KestrelJointLimits> limits(7);
    for (int i = 0; i < 7; ++i) {
        const double reach = 1.7 + 0.2 * i;
        limits[i] = profile == 1 ? KestrelJointLimits{-reach, reach, 0.5 + 0.1 * i, 1.0 + i, 5.0 + 3 * i}
                                 : KestrelJointLimits{-reach, reach, 2.1 + 0.1 * i, 7.5 + i, 750.0 + 250 * i};
    }
    if (profile == 2) {
        limits[3].min_position = -kInf;
        limits[3].max_position = kInf;
        limits[5].max_jerk = kInf;
    }
    return limits;
}

struct Loop {
    std::vector<KestrelJointLimits> limits;
    std::uint64_t now = 1700000000000000000ull;
    KestrelJointLimiter limiter;
    KestrelMonitor monitor;
    std::vector<double> p, v;

    Loop(std::vector<KestrelJointLimits> l, KestrelMonitorStop stop, double velocity_tolerance = 0.0)
        : limits(std::move(l)), p(limits.size()), v(limits.size()) {
        const KestrelMonitorConfig config{0.0, velocity_tolerance, 1e-3, stop};
        EXPECT_EQ(kestrel_monitor_init(&monitor, count(), limits.data(), &config, read_time, &now), KESTREL_OK);
        EXPECT_EQ(kestrel_joint_limiter_init(&limiter, count(), limits.data(), kDt, p.data()), KESTREL_OK);
    }
    std::uint32_t count() const { return static_cast<std::uint32_t>(limits.size()); }
    // The limiter's command of this period, taken as the next measurement.
    void command(const std::vector<double>& desired, bool positions) {
        std::vector<double> out(p.size());
        const KestrelError e = positions
                                   ? kestrel_joint_limiter_limit_position(&limiter, desired.data(), out.data(), nullptr)
                                   : kestrel_joint_limiter_limit(&limiter, desired.data(), out.data(), nullptr);
        ASSERT_EQ(e, KESTREL_OK);
        ASSERT_EQ(kestrel_joint_limiter_state(&limiter, nullptr, p.data(), v.data(), nullptr, nullptr), KESTREL_OK);
    }
    KestrelMonitorState check() {
        now += kPeriodNs;
        KestrelMonitorState state = 99;
        EXPECT_EQ(kestrel_monitor_check(&monitor, p.data(), v.data(), &state), KESTREL_OK);
        return state;
    }
    KestrelTrip last() const {
        KestrelTrip trip{};
        EXPECT_EQ(kestrel_monitor_last_trip(&monitor, &trip), KESTREL_OK);
        return trip;
    }
};

// The property run: velocity and position requests (jumps, targets past the
// limits, the limiter's own stop requests) never trip the monitor; a
// monitor stop that the limiter carries out ends latched with the request as
// its only trip; the same stop at half the ramp's deceleration is cut off.
TEST(MonitorProperties, LimiterMotionNeverTripsAndHalfRateStopIsCutOff) {
    long checks = 0, stops = 0, cut = 0;
    for (int profile = 0; profile < 3; ++profile) {
        for (KestrelMonitorStop stop : {KESTREL_MONITOR_SS1, KESTREL_MONITOR_SS2}) {
            SCOPED_TRACE(testing::Message() << "profile " << profile << " stop " << stop);
            Loop loop(arm(profile), stop, 0.05);
            std::mt19937_64 rng(11 + profile);
            std::uniform_real_distribution<double> unit(0.0, 1.0);
            std::vector<double> desired(7);
            for (int segment = 0; segment < 24 && !testing::Test::HasFailure(); ++segment) {
                const bool positions = segment % 3 == 1;
                for (std::size_t i = 0; i < 7; ++i) {
                    const KestrelJointLimits& l = loop.limits[i];
                    const double span = std::isfinite(l.max_position) ? l.max_position : 3.0;
                    desired[i] = positions ? (2.4 * unit(rng) - 1.2) * span
                                 : segment % 5 == 4 ? kNaN
                                                    : (3.0 * unit(rng) - 1.5) * l.max_velocity;
                }
                for (int t = 0; t < 1500; ++t, ++checks) {
                    loop.command(desired, positions);
                    ASSERT_EQ(loop.check(), KESTREL_MONITOR_RUN) << "check " << t << " trip " << loop.last().function
                                                                 << " joint " << loop.last().joint;
                }
                if (segment % 4 != 3) continue;
                // A monitor stop, carried out by the limiter from the period of the request.
                ++stops;
                ASSERT_EQ(kestrel_monitor_request_stop(&loop.monitor), KESTREL_OK);
                const std::vector<double> halt(7, kNaN);
                KestrelMonitorState state = KESTREL_MONITOR_STOPPING;
                for (int t = 0; t < 20000 && state == KESTREL_MONITOR_STOPPING; ++t) {
                    loop.command(halt, false);
                    state = loop.check();
                }
                EXPECT_EQ(state, stop == KESTREL_MONITOR_SS1 ? KESTREL_MONITOR_TORQUE_OFF : KESTREL_MONITOR_STANDSTILL);
                EXPECT_EQ(loop.last().function, KESTREL_TRIP_REQUEST);
                std::uint32_t acknowledged = 0;
                ASSERT_EQ(kestrel_monitor_acknowledge(&loop.monitor, &acknowledged), KESTREL_OK);
                EXPECT_EQ(acknowledged, 1u);
                // The same stop from a cruise at a quarter of the speed limits,
                // on a plant whose own limiter has half the acceleration and
                // jerk limits: cut off before standstill.
                std::fill(loop.p.begin(), loop.p.end(), 0.0);
                ASSERT_EQ(kestrel_joint_limiter_reset(&loop.limiter, loop.p.data(), nullptr), KESTREL_OK);
                for (std::size_t i = 0; i < 7; ++i) desired[i] = 0.25 * loop.limits[i].max_velocity;
                for (int t = 0; t < 1000; ++t) {
                    loop.command(desired, false);
                    ASSERT_EQ(loop.check(), KESTREL_MONITOR_RUN);
                }
                std::vector<KestrelJointLimits> half = loop.limits;
                for (KestrelJointLimits& l : half) {
                    l.max_acceleration /= 2;
                    l.max_jerk /= 2;
                }
                ASSERT_EQ(kestrel_joint_limiter_init(&loop.limiter, 7, half.data(), kDt, loop.p.data()), KESTREL_OK);
                ASSERT_EQ(kestrel_joint_limiter_reset(&loop.limiter, loop.p.data(), loop.v.data()), KESTREL_OK);
                ASSERT_EQ(kestrel_monitor_request_stop(&loop.monitor), KESTREL_OK);
                state = KESTREL_MONITOR_STOPPING;
                bool moving = true;
                while (state == KESTREL_MONITOR_STOPPING && moving) {
                    loop.command(halt, false);
                    moving = std::any_of(loop.v.begin(), loop.v.end(), [](double x) { return x != 0.0; });
                    state = loop.check();
                }
                EXPECT_EQ(state, KESTREL_MONITOR_TORQUE_OFF);
                EXPECT_TRUE(moving) << "the half-rate stop reached standstill unwatched";
                EXPECT_EQ(loop.last().function, stop == KESTREL_MONITOR_SS1 ? KESTREL_TRIP_SS1 : KESTREL_TRIP_SS2);
                cut += state == KESTREL_MONITOR_TORQUE_OFF;
                // At rest again, the arm's own limits back.
                for (int t = 0; t < 20000 && std::any_of(loop.v.begin(), loop.v.end(), [](double x) { return x != 0; });
                     ++t) {
                    loop.command(halt, false);
                }
                ASSERT_EQ(kestrel_joint_limiter_init(&loop.limiter, 7, loop.limits.data(), kDt, loop.p.data()),
                          KESTREL_OK);
                (void)loop.check();
                ASSERT_EQ(kestrel_monitor_acknowledge(&loop.monitor, &acknowledged), KESTREL_OK);
                ASSERT_EQ(acknowledged, 1u);
            }
        }
    }
    std::printf("%ld checks without a trip; %ld limiter stops watched, %ld half-rate stops cut off\n", checks, stops,
                cut);
}

// A joint driven at full speed at its upper limit, whatever the monitor says:
// SLP trips while it is still short of the limit by about its stopping
// distance, predicting a rest at most one period's travel past it.
TEST(MonitorTrips, SlpTripsBeforeTheLimitAtFullSpeed) {
    for (int profile = 0; profile < 2; ++profile) {
        SCOPED_TRACE(profile);
        Loop loop(arm(profile), KESTREL_MONITOR_SS1);
        const KestrelJointLimits& l = loop.limits[2];
        loop.v[2] = l.max_velocity;
        while (loop.check() == KESTREL_MONITOR_RUN && loop.p[2] < l.max_position) loop.p[2] += l.max_velocity * kDt;
        const KestrelTrip trip = loop.last();
        EXPECT_EQ(trip.function, KESTREL_TRIP_SLP);
        EXPECT_EQ(trip.joint, 2u);
        const double braking = l.max_velocity * l.max_velocity / (2 * l.max_acceleration);  // without the jerk ramps
        EXPECT_LT(loop.p[2], l.max_position - braking);
        EXPECT_GT(trip.value, l.max_position);
        EXPECT_LE(trip.value, l.max_position + l.max_velocity * kDt);
        EXPECT_EQ(trip.limit, l.max_position);
    }
}

// A value that cannot be judged trips in the period it is measured: in RUN
// (after a period is known, a watched stop; at the first check, torque off),
// while stopping, at standstill.
TEST(MonitorTrips, NonFiniteMeasurementTripsInItsPeriod) {
    struct Case {
        const char* name;
        int warmup;                   // checks before the bad one (1: no period measured yet)
        bool stop_first;              // request a stop (SS2) and reach standstill first
        bool position;                // the position is bad, else the velocity
        double bad;
        KestrelMonitorState expected;
    };
    const Case cases[] = {
        {"NaN velocity, running", 3, false, false, kNaN, KESTREL_MONITOR_STOPPING},
        {"inf position, running", 3, false, true, kInf, KESTREL_MONITOR_STOPPING},
        {"NaN position, first check", 0, false, true, kNaN, KESTREL_MONITOR_TORQUE_OFF},
        {"NaN position, at standstill", 3, true, true, kNaN, KESTREL_MONITOR_TORQUE_OFF},
        {"-inf velocity, at standstill", 3, true, false, -kInf, KESTREL_MONITOR_TORQUE_OFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Loop loop(arm(0), KESTREL_MONITOR_SS2);
        for (int t = 0; t < c.warmup; ++t) ASSERT_EQ(loop.check(), KESTREL_MONITOR_RUN);
        if (c.stop_first) {
            ASSERT_EQ(kestrel_monitor_request_stop(&loop.monitor), KESTREL_OK);
            ASSERT_EQ(loop.check(), KESTREL_MONITOR_STANDSTILL);
        }
        (c.position ? loop.p : loop.v)[4] = c.bad;
        EXPECT_EQ(loop.check(), c.expected);
        const KestrelTrip trip = loop.last();
        EXPECT_EQ(trip.function, KESTREL_TRIP_MEASUREMENT);
        EXPECT_EQ(trip.joint, 4u);
        EXPECT_TRUE(std::isnan(trip.value));
        EXPECT_EQ(trip.time_ns, loop.now);
    }
}

// The latches: what each trip records, and acknowledge's refusals and acceptance.
TEST(MonitorTrips, LatchesLeaveOnlyThroughAcknowledge) {
    Loop loop(arm(0), KESTREL_MONITOR_SS2, 0.1);
    ASSERT_EQ(loop.check(), KESTREL_MONITOR_RUN);
    ASSERT_EQ(loop.check(), KESTREL_MONITOR_RUN);
    std::uint32_t acknowledged = 0;
    KestrelTrip why{};
    // SLS above max_velocity * (1 + 0.1), not at it.
    loop.v[1] = 1.1 * loop.limits[1].max_velocity;
    ASSERT_EQ(loop.check(), KESTREL_MONITOR_RUN);
    loop.v[1] = std::nextafter(1.1 * loop.limits[1].max_velocity, kInf);
    loop.p[1] += loop.v[1] * kDt;
    ASSERT_EQ(loop.check(), KESTREL_MONITOR_STOPPING);
    KestrelTrip first{};
    KestrelMonitorState state = 99;
    ASSERT_EQ(kestrel_monitor_status(&loop.monitor, &state, &first), KESTREL_OK);
    EXPECT_EQ(first.function, KESTREL_TRIP_SLS);
    EXPECT_EQ(first.value, loop.v[1]);
    EXPECT_EQ(first.limit, 1.1 * loop.limits[1].max_velocity);
    ASSERT_EQ(kestrel_monitor_acknowledge(&loop.monitor, &acknowledged), KESTREL_OK);
    EXPECT_EQ(acknowledged, 0u);
    ASSERT_EQ(kestrel_monitor_refusal(&loop.monitor, &why), KESTREL_OK);
    EXPECT_EQ(why.function, KESTREL_TRIP_SS2);
    // Brought to rest within the ramp: STANDSTILL, then SOS trips on a drift.
    loop.v[1] = 0.0;
    ASSERT_EQ(loop.check(), KESTREL_MONITOR_STANDSTILL);
    ASSERT_EQ(loop.check(), KESTREL_MONITOR_STANDSTILL);
    EXPECT_EQ(kestrel_monitor_request_stop(&loop.monitor), KESTREL_OK);  // changes nothing here
    loop.p[6] += 1e-9;
    ASSERT_EQ(loop.check(), KESTREL_MONITOR_TORQUE_OFF);
    EXPECT_EQ(loop.last().function, KESTREL_TRIP_SOS);
    EXPECT_EQ(loop.last().joint, 6u);
    ASSERT_EQ(kestrel_monitor_status(&loop.monitor, &state, &first), KESTREL_OK);
    EXPECT_EQ(first.function, KESTREL_TRIP_SLS);  // the first trip stays
    // Acknowledge judges the last measurement: moving, then outside a limit, then fine.
    loop.v[0] = 0.5;
    ASSERT_EQ(loop.check(), KESTREL_MONITOR_TORQUE_OFF);
    ASSERT_EQ(kestrel_monitor_acknowledge(&loop.monitor, &acknowledged), KESTREL_OK);
    EXPECT_EQ(acknowledged, 0u);
    ASSERT_EQ(kestrel_monitor_refusal(&loop.monitor, &why), KESTREL_OK);
    EXPECT_EQ(why.function, KESTREL_TRIP_SOS);
    EXPECT_EQ(why.value, 0.5);
    loop.v[0] = 0.0;
    loop.p[3] = loop.limits[3].min_position - 1e-6;
    ASSERT_EQ(loop.check(), KESTREL_MONITOR_TORQUE_OFF);
    ASSERT_EQ(kestrel_monitor_acknowledge(&loop.monitor, &acknowledged), KESTREL_OK);
    EXPECT_EQ(acknowledged, 0u);
    ASSERT_EQ(kestrel_monitor_refusal(&loop.monitor, &why), KESTREL_OK);
    EXPECT_EQ(why.function, KESTREL_TRIP_SLP);
    EXPECT_EQ(why.joint, 3u);
    loop.p[3] = 0.0;
    ASSERT_EQ(loop.check(), KESTREL_MONITOR_TORQUE_OFF);
    ASSERT_EQ(kestrel_monitor_acknowledge(&loop.monitor, &acknowledged), KESTREL_OK);
    EXPECT_EQ(acknowledged, 1u);
    ASSERT_EQ(kestrel_monitor_status(&loop.monitor, &state, &first), KESTREL_OK);
    EXPECT_EQ(state, KESTREL_MONITOR_RUN);
    EXPECT_EQ(first.function, KESTREL_TRIP_NONE);
}

TEST(MonitorApi, RefusalsAndNames) {
    KestrelMonitor monitor;
    std::vector<KestrelJointLimits> limits = arm(0);
    const KestrelMonitorConfig good{0.0, 0.0, 0.01, KESTREL_MONITOR_SS1};
    struct Case {
        const char* name;
        std::uint32_t count;
        KestrelMonitorConfig config;
        int joint;  // the joint whose limit `field` is replaced, -1 none
        int field;
        double value;
        KestrelError expected;
    };
    const Case cases[] = {
        {"no joints", 0, good, -1, 0, 0, KESTREL_ERROR_BAD_JOINT_COUNT},
        {"33 joints", 33, good, -1, 0, 0, KESTREL_ERROR_BAD_JOINT_COUNT},
        {"infinite max_velocity", 7, good, 5, KESTREL_JOINT_MAX_VELOCITY, kInf, KESTREL_ERROR_BAD_LIMITS},
        {"infinite max_acceleration", 7, good, 2, KESTREL_JOINT_MAX_ACCELERATION, kInf, KESTREL_ERROR_BAD_LIMITS},
        {"zero max_jerk", 7, good, 1, KESTREL_JOINT_MAX_JERK, 0.0, KESTREL_ERROR_BAD_LIMITS},
        {"negative position tolerance", 7, {-1e-3, 0, 0.01, 1}, -1, 0, 0, KESTREL_ERROR_BAD_MONITOR_CONFIG},
        {"NaN velocity tolerance", 7, {0, kNaN, 0.01, 1}, -1, 0, 0, KESTREL_ERROR_BAD_MONITOR_CONFIG},
        {"zero standstill", 7, {0, 0, 0.0, 1}, -1, 0, 0, KESTREL_ERROR_BAD_MONITOR_CONFIG},
        {"stop 3", 7, {0, 0, 0.01, 3}, -1, 0, 0, KESTREL_ERROR_BAD_MONITOR_CONFIG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<KestrelJointLimits> l = arm(0);
        l.resize(33, l[0]);
        if (c.joint >= 0) (&l[c.joint].min_position)[c.field] = c.value;
        std::memset(&monitor, 0, sizeof monitor);
        EXPECT_EQ(kestrel_monitor_init(&monitor, c.count, l.data(), &c.config, nullptr, nullptr), c.expected);
        KestrelMonitorState state;
        EXPECT_EQ(kestrel_monitor_status(&monitor, &state, nullptr), KESTREL_ERROR_INVALID_POINTER);  // untouched
        KestrelJointFault fault{};
        if (c.joint >= 0) {
            EXPECT_EQ(kestrel_monitor_check_limits(7, l.data(), &fault), KESTREL_ERROR_BAD_LIMITS);
            EXPECT_EQ(fault.joint, static_cast<std::uint32_t>(c.joint));
            EXPECT_EQ(fault.field, static_cast<std::uint32_t>(c.field));
        }
    }
    EXPECT_EQ(kestrel_monitor_init(nullptr, 7, limits.data(), &good, nullptr, nullptr), KESTREL_ERROR_INVALID_POINTER);
    auto* misaligned = reinterpret_cast<KestrelMonitor*>(reinterpret_cast<unsigned char*>(&monitor) + 4);
    EXPECT_EQ(kestrel_monitor_init(misaligned, 7, limits.data(), &good, nullptr, nullptr),
              KESTREL_ERROR_INVALID_POINTER);
    ASSERT_EQ(kestrel_monitor_init(&monitor, 7, limits.data(), &good, nullptr, nullptr), KESTREL_OK);
    KestrelMonitorState state;
    const std::vector<double> zero(7, 0.0);
    EXPECT_EQ(kestrel_monitor_check(&monitor, nullptr, zero.data(), &state), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_monitor_check(&monitor, zero.data(), zero.data(), &state), KESTREL_OK);  // the wall clock
    const char* names[] = {"none", "SLS", "SLP", "SOS", "SS1", "SS2", "request", "measurement"};
    for (std::uint32_t f = 0; f < 8; ++f) EXPECT_STREQ(kestrel_safety_function_name(f), names[f]);
    EXPECT_EQ(kestrel_safety_function_name(8), nullptr);
    EXPECT_STREQ(kestrel_monitor_state_name(KESTREL_MONITOR_TORQUE_OFF), "TORQUE_OFF");
    EXPECT_EQ(kestrel_monitor_state_name(4), nullptr);
}

}  // namespace
