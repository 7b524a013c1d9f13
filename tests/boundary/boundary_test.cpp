// The C boundary of kestrel_boundary.h: what each command comes to, and what
// the receiving side's C guard makes of the receipts. The rules' own edges
// are tested where they live: the rate window with chosen clock readings
// (rate_window_test.cpp), the random sources (nonce_source_test.cpp), the
// messages and state tables through the Python class (tests/extension).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "kestrel.h"
#include "receipts/crypto.hpp"
#include "security_testing.hpp"

namespace {

using kestrel::ReceiptWire;

struct FreeBoundary {
    void operator()(KestrelBoundary* b) const { kestrel_boundary_free(b); }
};
using BoundaryPtr = std::unique_ptr<KestrelBoundary, FreeBoundary>;

// A receiving side's guard under `key`, on the heap: it is 16 KiB.
std::unique_ptr<KestrelReceiptGuard> new_guard(const kestrel::Key& key) {
    auto guard = std::make_unique<KestrelReceiptGuard>();
    EXPECT_EQ(kestrel_receipt_guard_init(guard.get(), key.data()), KESTREL_OK);
    return guard;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const kestrel::Key kKey = kestrel::testing::test_key(9);

struct Command {
    double velocity;
    const char* outcome;  // kestrel_error_name of the result
};

struct BoundaryCase {
    const char* name;
    std::uint64_t rate_limit;
    double max_velocity;
    std::vector<Command> commands;  // all within one second of the boundary's making
};

const char* const kOk = "ok";
const char* const kFast = "velocity_exceeded";
const char* const kRate = "rate_limited";

const BoundaryCase kCases[] = {
    {"velocity_limit_inclusive_nan_refused", 1000, 4.18,
     {{4.18, kOk}, {-4.18, kOk}, {std::nextafter(4.18, 5.0), kFast}, {-5.0, kFast}, {kNaN, kFast}, {0.0, kOk}}},
    {"nan_limit_refuses_all", 1000, kNaN, {{0.0, kFast}, {-0.0, kFast}, {kNaN, kFast}}},
    {"negative_limit_refuses_all", 1000, -1.0, {{0.0, kFast}, {0.5, kFast}}},
    {"rate_window_counts_refusals", 2, 4.18, {{1.0, kOk}, {1.0, kOk}, {1.0, kRate}, {1.0, kRate}}},
    {"zero_rate_refuses_in_the_first_window", 0, 4.18, {{1.0, kRate}, {9.0, kFast}}},
    {"velocity_refusals_cost_no_rate_budget", 1, 4.18, {{9.0, kFast}, {1.0, kOk}, {1.0, kRate}}},
};

void PrintTo(const BoundaryCase& c, std::ostream* os) { *os << c.name; }

class BoundaryTable : public testing::TestWithParam<BoundaryCase> {};

// Every admitted command gets the next sequence id and a receipt that the C
// guard accepts once, for exactly its action; a refused one gets neither, and
// its buffer is left alone.
TEST_P(BoundaryTable, ReceiptsPassTheGuardOnce) {
    const BoundaryCase& c = GetParam();
    KestrelError error = -1;
    const BoundaryPtr boundary(kestrel_boundary_new(kKey.data(), c.rate_limit, c.max_velocity, &error));
    ASSERT_NE(boundary, nullptr);
    ASSERT_EQ(error, KESTREL_OK);
    const auto guard = new_guard(kKey);

    constexpr std::int32_t kAxes[] = {INT32_MIN, -1, 0, 3, INT32_MAX};
    std::uint64_t next_id = 1;
    for (std::size_t i = 0; i < c.commands.size(); ++i) {
        const Command& command = c.commands[i];
        const std::int32_t axis = kAxes[i % std::size(kAxes)];
        SCOPED_TRACE(testing::Message() << "velocity " << command.velocity << ", axis " << axis);
        ReceiptWire wire;
        wire.fill(0xee);
        const ReceiptWire untouched = wire;
        const KestrelError e = kestrel_boundary_authorize(boundary.get(), axis, -0.0, command.velocity, wire.data());
        EXPECT_STREQ(kestrel_error_name(e), command.outcome);
        if (e != KESTREL_OK) {
            EXPECT_EQ(wire, untouched);
        } else {
            KestrelReceiptFields fields;
            ASSERT_EQ(kestrel_receipt_parse(wire.data(), &fields), KESTREL_OK);
            EXPECT_EQ(fields.sequence_id, next_id++);
            const double v = command.velocity;
            EXPECT_EQ(kestrel_receipt_guard_check(guard.get(), wire.data(), axis, 0.0, v),
                      KESTREL_ERROR_AUTHENTICATION_FAILURE);  // signed for -0.0, bit for bit
            EXPECT_EQ(kestrel_receipt_guard_check(guard.get(), wire.data(), axis, -0.0, v), KESTREL_OK);
            EXPECT_EQ(kestrel_receipt_guard_check(guard.get(), wire.data(), axis, -0.0, v),
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
    EXPECT_EQ(kestrel_boundary_new(nullptr, 10, 1.0, nullptr), nullptr);

    const BoundaryPtr boundary(kestrel_boundary_new(kKey.data(), 10, 1.0, nullptr));
    ASSERT_NE(boundary, nullptr);
    ReceiptWire wire;
    EXPECT_EQ(kestrel_boundary_authorize(nullptr, 0, 0.0, 0.0, wire.data()), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_boundary_authorize(boundary.get(), 0, 0.0, 0.0, nullptr), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_boundary_authorize(boundary.get(), 0, 0.0, 0.0, wire.data()), KESTREL_OK);
    kestrel_boundary_free(nullptr);
}

// Threads sharing one boundary (the tsan preset runs this under
// ThreadSanitizer): every call signs, no sequence id is handed out twice or
// skipped, and a guard that takes the receipts in id order accepts every one.
TEST(CBoundary, ThreadsShareOneBoundary) {
    constexpr int kThreads = 4;
    constexpr int kCalls = 400;  // 1600 in all: the nonce ring wraps
    const BoundaryPtr boundary(kestrel_boundary_new(kKey.data(), UINT64_MAX, 4.18, nullptr));
    ASSERT_NE(boundary, nullptr);

    struct Signed {
        std::uint64_t sequence_id;
        std::int32_t axis;
        double position;
        ReceiptWire wire;
    };
    std::vector<std::vector<Signed>> by_thread(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int call = 0; call < kCalls; ++call) {
                Signed s{0, t, call * 0.5, {}};
                if (kestrel_boundary_authorize(boundary.get(), s.axis, s.position, 1.0, s.wire.data()) != KESTREL_OK)
                    continue;
                KestrelReceiptFields fields;
                if (kestrel_receipt_parse(s.wire.data(), &fields) == KESTREL_OK) s.sequence_id = fields.sequence_id;
                by_thread[t].push_back(s);
            }
        });
    }
    for (std::thread& t : threads) t.join();

    std::vector<Signed> all;
    for (const auto& mine : by_thread) all.insert(all.end(), mine.begin(), mine.end());
    ASSERT_EQ(all.size(), std::size_t{kThreads} * kCalls);
    std::sort(all.begin(), all.end(), [](const Signed& a, const Signed& b) { return a.sequence_id < b.sequence_id; });
    const auto guard = new_guard(kKey);
    for (std::size_t i = 0; i < all.size(); ++i) {
        ASSERT_EQ(all[i].sequence_id, i + 1) << "a sequence id handed out twice or skipped";
        ASSERT_EQ(kestrel_receipt_guard_check(guard.get(), all[i].wire.data(), all[i].axis, all[i].position,
                                              1.0),
                  KESTREL_OK)
            << "sequence id " << all[i].sequence_id;
    }
}

}  // namespace
