// Cost of one joint-limiter call, reported per joint, for a seven-joint arm
// and a full limiter of 32 joints, with and without the coupling of joints
// 0..3 through the four-axis solver; and of one monitor check of the same
// arm's measured motion, beside it in the same run.
//
// The desired velocities are a fixed, seeded table of 1024 periods: a sine
// sweep beyond the velocity limit with random jumps, so that every kind of
// limit binds some of the time (as in a real loop) rather than never.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <random>
#include <vector>

#include "kestrel.h"

namespace {

constexpr std::size_t kPeriods = 1024;

std::vector<double> desired_table(std::uint32_t joints) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<double> table(kPeriods * joints);
    for (std::size_t t = 0; t < kPeriods; ++t) {
        for (std::uint32_t j = 0; j < joints; ++j) {
            const double sweep = 3.0 * std::sin(0.02 * static_cast<double>(t) + j);
            table[t * joints + j] = rng() % 10 == 0 ? 5.0 * unit(rng) : sweep;
        }
    }
    return table;
}

void BM_Limit(benchmark::State& state) {
    const auto joints = static_cast<std::uint32_t>(state.range(0));
    const bool coupled = state.range(1) != 0;
    const KestrelJointLimits arm{-1.0, 1.0, 2.0, 20.0, 2000.0};
    std::vector<KestrelJointLimits> limits(joints, arm);
    std::vector<double> start(joints, 0.0), out(joints);
    std::vector<std::uint32_t> flags(joints);
    KestrelJointLimiter limiter;
    if (kestrel_joint_limiter_init(&limiter, joints, limits.data(), 0.001, start.data()) != KESTREL_OK) {
        state.SkipWithError("init refused");
        return;
    }
    if (coupled) {
        LinearConstraints4 rows{};
        rows.count = 2;
        rows.coefficients[0][0] = rows.coefficients[0][1] = 1.0f;  // v0 + v1 <= 1.5
        rows.limits[0] = 1.5f;
        rows.coefficients[1][2] = 1.0f;  // v2 - v3 <= 1
        rows.coefficients[1][3] = -1.0f;
        rows.limits[1] = 1.0f;
        kestrel_joint_limiter_set_coupling(&limiter, &rows);
    }
    const std::vector<double> table = desired_table(joints);
    std::size_t t = 0;
    for (auto _ : state) {
        const KestrelError error = kestrel_joint_limiter_limit(&limiter, &table[t * joints], out.data(), flags.data());
        benchmark::DoNotOptimize(error);
        benchmark::DoNotOptimize(out.data());
        t = (t + 1) % kPeriods;
    }
    // Seconds per joint and call (shown in ns).
    state.counters["per_joint"] = benchmark::Counter(static_cast<double>(state.iterations()) * joints,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_Limit)->ArgNames({"joints", "coupled"})->Args({7, 0})->Args({32, 0})->Args({7, 1})->Args({32, 1});

// The same calls timed one by one (steady_clock, about 20 ns of its own per
// call, included): the median and the worst call, per joint. On a shared
// machine the worst includes whatever preempted the process; the 99.9th
// percentile shows the limiter's own tail.
void BM_LimitPerCall(benchmark::State& state) {
    const auto joints = static_cast<std::uint32_t>(state.range(0));
    const KestrelJointLimits arm{-1.0, 1.0, 2.0, 20.0, 2000.0};
    std::vector<KestrelJointLimits> limits(joints, arm);
    std::vector<double> start(joints, 0.0), out(joints);
    KestrelJointLimiter limiter;
    if (kestrel_joint_limiter_init(&limiter, joints, limits.data(), 0.001, start.data()) != KESTREL_OK) {
        state.SkipWithError("init refused");
        return;
    }
    const std::vector<double> table = desired_table(joints);
    std::vector<double> ns;
    ns.reserve(1 << 20);
    std::size_t t = 0;
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        const KestrelError error = kestrel_joint_limiter_limit(&limiter, &table[t * joints], out.data(), nullptr);
        const auto end = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(error);
        benchmark::DoNotOptimize(out.data());
        if (ns.size() < ns.capacity()) ns.push_back(std::chrono::duration<double, std::nano>(end - begin).count());
        t = (t + 1) % kPeriods;
    }
    if (ns.empty()) return;
    std::sort(ns.begin(), ns.end());
    state.counters["median_per_joint"] = ns[ns.size() / 2] / joints;
    state.counters["p999_per_joint"] = ns[ns.size() * 999 / 1000] / joints;
    state.counters["worst_per_joint"] = ns.back() / joints;
}

BENCHMARK(BM_LimitPerCall)->ArgNames({"joints"})->Arg(7)->Arg(32);

// One monitor check of seven joints in RUN (every rule of RUN judged every
// period), on a measured motion that repeats every 1024 periods: a sine of
// 0.3 rad at 0.98 Hz per joint, phases apart, inside every limit of the arm.
void BM_MonitorCheck(benchmark::State& state) {
    constexpr std::uint32_t kJoints = 7;
    const KestrelJointLimits arm{-1.0, 1.0, 2.0, 20.0, 2000.0};
    std::vector<KestrelJointLimits> limits(kJoints, arm);
    std::vector<double> positions(kPeriods * kJoints), velocities(kPeriods * kJoints);
    const double omega = 2.0 * M_PI / (static_cast<double>(kPeriods) * 0.001);
    for (std::size_t t = 0; t < kPeriods; ++t) {
        for (std::uint32_t j = 0; j < kJoints; ++j) {
            const double phase = omega * static_cast<double>(t) * 0.001 + j;
            positions[t * kJoints + j] = 0.3 * std::sin(phase);
            velocities[t * kJoints + j] = 0.3 * omega * std::cos(phase);
        }
    }
    std::uint64_t now = 1700000000000000000ull;
    const KestrelMonitorConfig config{0.0, 0.0, 0.01, KESTREL_MONITOR_SS1};
    KestrelMonitor monitor;
    const auto clock = [](void* context) { return *static_cast<std::uint64_t*>(context); };
    if (kestrel_monitor_init(&monitor, kJoints, limits.data(), &config, clock, &now) != KESTREL_OK) {
        state.SkipWithError("init refused");
        return;
    }
    std::size_t t = 0;
    KestrelMonitorState answer = KESTREL_MONITOR_RUN;
    for (auto _ : state) {
        now += 1000000;
        const KestrelError error =
            kestrel_monitor_check(&monitor, &positions[t * kJoints], &velocities[t * kJoints], &answer);
        benchmark::DoNotOptimize(error);
        t = (t + 1) % kPeriods;
    }
    if (answer != KESTREL_MONITOR_RUN) state.SkipWithError("the monitor tripped: the bench measured a stop");
}

BENCHMARK(BM_MonitorCheck);

}  // namespace

BENCHMARK_MAIN();
