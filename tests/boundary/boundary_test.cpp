// The C boundary of kestrel_boundary.h and what the C guard makes of its receipts. The rules'
// own edges are tested where they live (rate window, random sources, the Python class).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <thread>
#include <vector>

#include "kestrel.h"
#include "receipts/hmac.hpp"
#include "security_testing.hpp"

namespace {

using kestrel::ReceiptWire;

struct FreeBoundary {
    void operator()(KestrelBoundary* b) const { kestrel_boundary_free(b); }
};
using BoundaryPtr = std::unique_ptr<KestrelBoundary, FreeBoundary>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const kestrel::Key kKey = kestrel::testing::test_key(9);

std::uint64_t sequence_id_of(const ReceiptWire& wire) {
    KestrelReceiptFields fields{};
    EXPECT_EQ(kestrel_receipt_parse(wire.data(), &fields), KESTREL_OK);
    return fields.sequence_id;
}

struct Command {
    double velocity;
    const char* outcome;
    double position = -0.0;
    std::optional<std::int32_t> axis = {};  // none: the next of kAxes below
};  // outcome: kestrel_error_name of the result
struct BoundaryCase {
    const char* name;
    std::uint64_t rate_limit;
    double max_velocity;
    std::vector<Command> commands;             // all within one second of the boundary's making
    std::vector<KestrelJointLimits> axes = {};  // kestrel_boundary_set_axis_limits, when not empty
};

constexpr const char *kOk = "ok", *kFast = "velocity_exceeded", *kRate = "rate_limited",
                     *kRange = "position_out_of_range";

const BoundaryCase kCases[] = {
    {"velocity_limit_inclusive_nan_refused",
     1000,
     4.18,
     {{4.18, kOk}, {-4.18, kOk}, {std::nextafter(4.18, 5.0), kFast}, {-5.0, kFast}, {kNaN, kFast}, {0.0, kOk}}},
    {"nan_limit_refuses_all", 1000, kNaN, {{0.0, kFast}, {-0.0, kFast}, {kNaN, kFast}}},
    {"rate_window_counts_refusals", 2, 4.18, {{1.0, kOk}, {1.0, kOk}, {1.0, kRate}, {1.0, kRate}}},
    {"zero_rate_refuses_in_the_first_window", 0, 4.18, {{1.0, kRate}, {9.0, kFast}}},
    {"velocity_refusals_cost_no_rate_budget", 1, 4.18, {{9.0, kFast}, {1.0, kOk}, {1.0, kRate}}},
    {"axis_limits_inclusive_refusals_cost_no_rate_budget",
     3,
     4.18,
     {{2.0, kOk, 1.0, 0},
      {0.0, kRange, std::nextafter(1.0, 2.0), 0},
      {0.0, kRange, -1.5, 0},
      {0.0, kRange, kNaN, 1},
      {std::nextafter(2.0, 3.0), kFast, 0.0, 0},
      {-0.75, kFast, 0.25, 1},
      {0.0, kRange, 0.0, 2},
      {0.0, kRange, 0.0, -1},
      {-0.5, kOk, 0.0, 1},
      {4.5, kFast, 0.0, 0},
      {0.5, kOk, 0.5, 1},
      {0.0, kRate, 0.0, 0}},
     {{-1.0, 1.0, 2.0, 10.0, 100.0}, {0.0, 0.5, 0.5, 10.0, 100.0}}},
};

void PrintTo(const BoundaryCase& c, std::ostream* os) { *os << c.name; }

class BoundaryTable : public testing::TestWithParam<BoundaryCase> {};

// An admitted command gets the next sequence id and a receipt the C guard accepts
// once, for exactly its action; a refused one gets neither: its buffer stays.
TEST_P(BoundaryTable, PassOnce) {
    const BoundaryCase& c = GetParam();
    KestrelError error = -1;
    const BoundaryPtr boundary(kestrel_boundary_new(kKey.data(), c.rate_limit, c.max_velocity, &error));
    ASSERT_EQ(error, KESTREL_OK);
    if (!c.axes.empty()) {
        ASSERT_EQ(kestrel_boundary_set_axis_limits(boundary.get(), static_cast<std::uint32_t>(c.axes.size()),
                                                   c.axes.data()),
                  KESTREL_OK);
    }
    KestrelReceiptGuard guard;
    ASSERT_EQ(kestrel_receipt_guard_init(&guard, kKey.data()), KESTREL_OK);

    constexpr std::int32_t kAxes[] = {INT32_MIN, -1, 0, 3, INT32_MAX};
    std::uint64_t next_id = 1;
    for (std::size_t i = 0; i < c.commands.size(); ++i) {
        const Command& command = c.commands[i];
        const std::int32_t axis = command.axis.value_or(kAxes[i % std::size(kAxes)]);
        const double p = command.position;
        SCOPED_TRACE(testing::Message() << "velocity " << command.velocity << ", axis " << axis << ", position " << p);
        ReceiptWire wire;
        wire.fill(0xee);
        const ReceiptWire untouched = wire;
        const KestrelError e = kestrel_boundary_authorize(boundary.get(), axis, p, command.velocity, wire.data());
        EXPECT_STREQ(kestrel_error_name(e), command.outcome);
        if (e != KESTREL_OK) {
            EXPECT_EQ(wire, untouched);
        } else {
            EXPECT_EQ(sequence_id_of(wire), next_id++);
            EXPECT_EQ(kestrel_receipt_guard_check(&guard, wire.data(), axis, p + 1.0, command.velocity),
                      KESTREL_ERROR_AUTHENTICATION_FAILURE);  // signed for p, bit for bit
            EXPECT_EQ(kestrel_receipt_guard_check(&guard, wire.data(), axis, p, command.velocity), KESTREL_OK);
            EXPECT_EQ(kestrel_receipt_guard_check(&guard, wire.data(), axis, p, command.velocity),
                      KESTREL_ERROR_REPLAY_COUNTER);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, BoundaryTable, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<BoundaryCase>& info) { return info.param.name; });

TEST(CBoundary, RefusesNullPointers) {
    KestrelError error = KESTREL_OK;
    EXPECT_EQ(kestrel_boundary_new(nullptr, 10, 1.0, &error), nullptr);
    EXPECT_EQ(error, KESTREL_ERROR_INVALID_POINTER);
    const BoundaryPtr boundary(kestrel_boundary_new(kKey.data(), 10, 1.0, nullptr));
    ReceiptWire wire;
    EXPECT_EQ(kestrel_boundary_authorize(nullptr, 0, 0.0, 0.0, wire.data()), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_boundary_authorize(boundary.get(), 0, 0.0, 0.0, nullptr), KESTREL_ERROR_INVALID_POINTER);
    kestrel_boundary_free(nullptr);
    // Axis limits: refused as the limiter refuses them, and taken away with count 0.
    std::vector<KestrelJointLimits> axes(33, {-1.0, 1.0, 1.0, 1.0, 1.0});
    EXPECT_EQ(kestrel_boundary_set_axis_limits(boundary.get(), 1, nullptr), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_boundary_set_axis_limits(boundary.get(), 33, axes.data()), KESTREL_ERROR_BAD_JOINT_COUNT);
    axes[1].max_position = kNaN;
    EXPECT_EQ(kestrel_boundary_set_axis_limits(boundary.get(), 2, axes.data()), KESTREL_ERROR_BAD_LIMITS);
    EXPECT_EQ(kestrel_boundary_authorize(boundary.get(), 7, 5.0, 0.0, wire.data()), KESTREL_OK);  // none set
    ASSERT_EQ(kestrel_boundary_set_axis_limits(boundary.get(), 1, axes.data()), KESTREL_OK);
    EXPECT_EQ(kestrel_boundary_authorize(boundary.get(), 7, 0.0, 0.0, wire.data()), KESTREL_ERROR_POSITION_OUT_OF_RANGE);
    ASSERT_EQ(kestrel_boundary_set_axis_limits(boundary.get(), 0, nullptr), KESTREL_OK);
    EXPECT_EQ(kestrel_boundary_authorize(boundary.get(), 7, 5.0, 0.0, wire.data()), KESTREL_OK);
}

// A child forked while another thread signs (and may hold the boundary's
// lock) is refused at once by every entry point that locks, never blocked;
// the parent signs on. A child that hangs is stopped by its alarm and fails.
TEST(CBoundary, ForkedChildIsRefusedWithoutBlocking) {
    const BoundaryPtr boundary(kestrel_boundary_new(kKey.data(), UINT64_MAX, 4.18, nullptr));
    std::atomic<bool> signing{true};
    std::thread signer([&] {
        ReceiptWire wire;
        while (signing.load())
            EXPECT_EQ(kestrel_boundary_authorize(boundary.get(), 1, 0.0, 1.0, wire.data()), KESTREL_OK);
    });
    for (int trial = 0; trial < 40; ++trial) {  // even: authorize, odd: rekey
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(5);
            ReceiptWire wire;
            const bool refused =
                trial % 2 == 0 ? kestrel_boundary_authorize(boundary.get(), 1, 0.0, 1.0, wire.data()) == KESTREL_ERROR_FORKED
                               : kestrel_boundary_rekey(boundary.get(), kKey.data()) == KESTREL_ERROR_FORKED;
            _exit(refused ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "trial " << trial << ", status " << status;
    }
    signing = false;
    signer.join();
    ReceiptWire wire;
    EXPECT_EQ(kestrel_boundary_authorize(boundary.get(), 1, 0.0, 1.0, wire.data()), KESTREL_OK);
}

// A rotation as the Deploying page tells it: the receiver gets the next key,
// then the controller rekeys mid-stream. No command is refused, the sequence
// goes on, and after the switch a receipt under the old key is refused.
TEST(CBoundary, RekeysMidStreamAndTheGuardFollowsWithoutARefusal) {
    const kestrel::Key next = kestrel::testing::test_key(10), zero{};
    KestrelError error = KESTREL_OK;
    EXPECT_EQ(kestrel_boundary_new(zero.data(), 10, 1.0, &error), nullptr);
    EXPECT_EQ(error, KESTREL_ERROR_ZERO_KEY);
    const BoundaryPtr boundary(kestrel_boundary_new(kKey.data(), UINT64_MAX, 4.18, nullptr));
    const BoundaryPtr old_signer(kestrel_boundary_new(kKey.data(), UINT64_MAX, 4.18, nullptr));
    KestrelReceiptGuard guard;
    ASSERT_EQ(kestrel_receipt_guard_init(&guard, kKey.data()), KESTREL_OK);
    ASSERT_EQ(kestrel_receipt_guard_add_key(&guard, next.data()), KESTREL_OK);
    ReceiptWire wire;
    for (std::uint64_t id = 1; id <= 6; ++id) {
        SCOPED_TRACE(id);
        if (id == 4) {
            EXPECT_EQ(kestrel_boundary_rekey(boundary.get(), zero.data()), KESTREL_ERROR_ZERO_KEY);
            EXPECT_EQ(kestrel_boundary_rekey(boundary.get(), nullptr), KESTREL_ERROR_INVALID_POINTER);
            EXPECT_EQ(kestrel_boundary_rekey(nullptr, next.data()), KESTREL_ERROR_INVALID_POINTER);
            ASSERT_EQ(kestrel_boundary_rekey(boundary.get(), next.data()), KESTREL_OK);
        }
        const double position = 0.1 * static_cast<double>(id);
        ASSERT_EQ(kestrel_boundary_authorize(boundary.get(), 0, position, 1.0, wire.data()), KESTREL_OK);
        EXPECT_EQ(sequence_id_of(wire), id);
        EXPECT_EQ(kestrel_receipt_verify((id < 4 ? kKey : next).data(), wire.data(), 0, position, 1.0), KESTREL_OK);
        EXPECT_EQ(kestrel_receipt_guard_check(&guard, wire.data(), 0, position, 1.0), KESTREL_OK);
    }
    for (int i = 0; i < 7; ++i) ASSERT_EQ(kestrel_boundary_authorize(old_signer.get(), 0, 0.0, 1.0, wire.data()), 0);
    EXPECT_EQ(kestrel_receipt_guard_check(&guard, wire.data(), 0, 0.0, 1.0), KESTREL_ERROR_AUTHENTICATION_FAILURE);
}

// Each row sets the caller's clock and authorizes one command (rate limit 2): the
// reading dates the receipt and places it in the rate window, and a reading
// below the last one is taken as the last one, so the window never reopens early.
TEST(CBoundary, CallersClockDatesReceiptsAndDrivesTheRateWindow) {
    constexpr std::uint64_t kS = 1'000'000'000;
    std::uint64_t now = 5 * kS;
    const auto read = [](void* context) { return *static_cast<const std::uint64_t*>(context); };
    KestrelError error = -1;
    const BoundaryPtr boundary(kestrel_boundary_new_with_clock(kKey.data(), 2, 4.18, read, &now, &error));
    ASSERT_EQ(error, KESTREL_OK);
    const struct {
        std::uint64_t now;
        const char* outcome;
        std::uint64_t timestamp;
    } table[] = {
        {5 * kS, kOk, 5 * kS},  {5 * kS + kS / 2, kOk, 5 * kS + kS / 2},
        {6 * kS - 1, kRate, 0}, {3 * kS, kRate, 0},  // back: still 6 s - 1 ns, in the first window
        {6 * kS, kOk, 6 * kS},  {4 * kS, kOk, 6 * kS},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(testing::Message() << "clock at " << row.now);
        now = row.now;
        ReceiptWire wire;
        EXPECT_STREQ(kestrel_error_name(kestrel_boundary_authorize(boundary.get(), 1, 0.0, 1.0, wire.data())),
                     row.outcome);
        KestrelReceiptFields fields{};
        if (row.timestamp != 0 && kestrel_receipt_parse(wire.data(), &fields) == KESTREL_OK) {
            EXPECT_EQ(fields.timestamp_nanos, row.timestamp);
        }
    }
    EXPECT_EQ(kestrel_boundary_new_with_clock(nullptr, 2, 4.18, read, &now, &error), nullptr);
    EXPECT_EQ(error, KESTREL_ERROR_INVALID_POINTER);
}

// Threads on one boundary (ThreadSanitizer in the tsan preset): ids 1..n, none
// twice, and a guard taking the receipts in id order accepts each one.
TEST(CBoundary, ThreadsShareOneBoundary) {
    constexpr int kThreads = 4;
    constexpr int kCalls = 400;  // 1600 in all: the nonce ring wraps
    const BoundaryPtr boundary(kestrel_boundary_new(kKey.data(), UINT64_MAX, 4.18, nullptr));
    struct Signed {
        KestrelError error;
        std::int32_t axis;
        double position;
        ReceiptWire wire;
    };
    std::vector<Signed> all(kThreads * kCalls);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int call = 0; call < kCalls; ++call) {
                Signed& s = all[t * kCalls + call];
                s = {KESTREL_OK, t, call * 0.5, {}};
                s.error = kestrel_boundary_authorize(boundary.get(), s.axis, s.position, 1.0, s.wire.data());
            }
        });
    }
    for (std::thread& t : threads) t.join();

    std::map<std::uint64_t, const Signed*> by_id;
    for (const Signed& s : all) {
        ASSERT_EQ(s.error, KESTREL_OK);
        by_id.emplace(sequence_id_of(s.wire), &s);
    }
    ASSERT_EQ(by_id.size(), all.size()) << "a sequence id handed out twice";
    ASSERT_EQ(by_id.begin()->first, 1u);
    ASSERT_EQ(by_id.rbegin()->first, all.size()) << "a sequence id skipped";
    KestrelReceiptGuard guard;
    ASSERT_EQ(kestrel_receipt_guard_init(&guard, kKey.data()), KESTREL_OK);
    for (const auto& [id, s] : by_id) {
        ASSERT_EQ(kestrel_receipt_guard_check(&guard, s->wire.data(), s->axis, s->position, 1.0), KESTREL_OK) << id;
    }
}

}  // namespace
