// The C interface of the receiving side: kestrel_receipt_verify and the replay
// guard, fed with receipts that the boundary's own replay gate issued.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "kestrel.h"
#include "receipts/replay_gate.hpp"
#include "receipts/hmac.hpp"
#include "clock/wall_clock.hpp"
#include "security_testing.hpp"

namespace {

using kestrel::Key;
using kestrel::Nonce;
using kestrel::Payload;
using kestrel::ReceiptWire;

using kestrel::testing::test_key;
using kestrel::testing::test_nonce;

// A receipt for (axis, position, velocity) as a boundary under `key` signs it;
// the action id and payload are spelled out here, not taken from the code
// under test.
ReceiptWire issue(const Key& key, std::uint64_t seq, std::uint32_t nonce, std::int32_t axis, double position,
                  double velocity, std::optional<std::uint64_t> timestamp_nanos = {}) {
    const std::string id = "axis_" + std::to_string(axis);
    Payload payload;
    std::memcpy(payload.data(), &position, 8);
    std::memcpy(payload.data() + 8, &velocity, 8);
    const kestrel::ReplayGate issuer(key);
    kestrel::Receipt r;
    EXPECT_EQ(issuer.issue_receipt(test_nonce(nonce), timestamp_nanos.value_or(1'700'000'000'000'000'000u + seq), seq,
                                   {reinterpret_cast<const std::uint8_t*>(id.data()), id.size()}, payload, r),
              KESTREL_OK);
    return r.to_wire();
}

class ReceiptVerifyTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(ReceiptVerifyTest, SignedActionOnly) {
    const std::int32_t axis = GetParam();
    const Key key = test_key(1);
    const ReceiptWire wire = issue(key, 9, 9, axis, 0.25, -1.5);
    EXPECT_EQ(kestrel_receipt_verify(key.data(), wire.data(), axis, 0.25, -1.5), 0u);
    EXPECT_EQ(kestrel_receipt_verify(key.data(), wire.data(), axis, 0.25, -1.5), 0u) << "verify keeps no state";

    constexpr KestrelError kBad = KESTREL_ERROR_AUTHENTICATION_FAILURE;
    const std::int32_t other_axis = axis == INT32_MAX ? axis - 1 : axis + 1;
    EXPECT_EQ(kestrel_receipt_verify(key.data(), wire.data(), other_axis, 0.25, -1.5), kBad);
    EXPECT_EQ(kestrel_receipt_verify(key.data(), wire.data(), axis, std::nextafter(0.25, 1.0), -1.5), kBad);
    EXPECT_EQ(kestrel_receipt_verify(key.data(), wire.data(), axis, 0.25, -1.25), kBad);
    EXPECT_EQ(kestrel_receipt_verify(key.data(), wire.data(), axis, -1.5, 0.25), kBad) << "order of the doubles";
    const Key other = test_key(2);
    EXPECT_EQ(kestrel_receipt_verify(other.data(), wire.data(), axis, 0.25, -1.5), kBad);
    for (std::size_t i = 0; i < wire.size(); ++i) {
        SCOPED_TRACE(i);
        ReceiptWire changed = wire;
        changed[i] ^= static_cast<std::uint8_t>(1u << (i % 8));
        EXPECT_EQ(kestrel_receipt_verify(key.data(), changed.data(), axis, 0.25, -1.5), kBad);
    }
}

// Negative axes, and both ends of the range (the longest action id).
INSTANTIATE_TEST_SUITE_P(Axes, ReceiptVerifyTest, ::testing::Values(0, 3, 12, -7, INT32_MIN, INT32_MAX));

TEST(ReceiptVerify, PayloadIsComparedBitForBit) {
    const Key key = test_key(3);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const ReceiptWire zero = issue(key, 1, 1, 0, 0.0, nan);
    EXPECT_EQ(kestrel_receipt_verify(key.data(), zero.data(), 0, 0.0, nan), 0u);
    EXPECT_EQ(kestrel_receipt_verify(key.data(), zero.data(), 0, -0.0, nan), KESTREL_ERROR_AUTHENTICATION_FAILURE);
}

// A guard in storage that is freed wiped; it is what a C caller puts on the
// stack or in static memory.
struct GuardBox {
    GuardBox() : guard(std::make_unique<KestrelReceiptGuard>()) {}
    ~GuardBox() { EXPECT_EQ(kestrel_receipt_guard_wipe(guard.get()), 0u); }
    std::unique_ptr<KestrelReceiptGuard> guard;
};

TEST(ReceiptGuard, AcceptsOnceAndRefusesReplaysLikeTheReplayGate) {
    const Key key = test_key(4);
    GuardBox box;
    KestrelReceiptGuard* g = box.guard.get();
    ASSERT_EQ(kestrel_receipt_guard_init(g, key.data()), 0u);

    const ReceiptWire first = issue(key, 5, 1, 2, 0.5, 1.0);
    ReceiptWire forged = first;
    forged[59] ^= 0x80;
    EXPECT_EQ(kestrel_receipt_guard_check(g, forged.data(), 2, 0.5, 1.0), KESTREL_ERROR_AUTHENTICATION_FAILURE);
    EXPECT_EQ(kestrel_receipt_guard_check(g, first.data(), 3, 0.5, 1.0), KESTREL_ERROR_AUTHENTICATION_FAILURE);
    // Refusals left no trace: the honest receipt is still new.
    EXPECT_EQ(kestrel_receipt_guard_check(g, first.data(), 2, 0.5, 1.0), 0u);
    EXPECT_EQ(kestrel_receipt_guard_check(g, first.data(), 2, 0.5, 1.0), KESTREL_ERROR_REPLAY_COUNTER);
    EXPECT_EQ(kestrel_receipt_guard_check(g, issue(key, 4, 2, 2, 0.5, 1.0).data(), 2, 0.5, 1.0),
              KESTREL_ERROR_REPLAY_COUNTER);
    EXPECT_EQ(kestrel_receipt_guard_check(g, issue(key, 6, 1, 2, 0.5, 1.0).data(), 2, 0.5, 1.0),
              KESTREL_ERROR_REPLAY_NONCE);
    EXPECT_EQ(kestrel_receipt_guard_check(g, issue(key, 100, 3, -1, 0.0, 0.0).data(), -1, 0.0, 0.0), 0u);

    // A second init starts over under the new key.
    const Key other = test_key(5);
    ASSERT_EQ(kestrel_receipt_guard_init(g, other.data()), 0u);
    EXPECT_EQ(kestrel_receipt_guard_check(g, first.data(), 2, 0.5, 1.0), KESTREL_ERROR_AUTHENTICATION_FAILURE);
    EXPECT_EQ(kestrel_receipt_guard_check(g, issue(other, 1, 1, 2, 0.5, 1.0).data(), 2, 0.5, 1.0), 0u);
}

// A guard resumed from a persisted sequence id refuses that id and every one
// below it, accepts the next, and reports the high-water mark; it forgets
// the nonces of the guard it replaces.
TEST(ReceiptGuard, ResumeRefusesUpToTheGivenSequenceId) {
    const struct {
        std::uint64_t resumed_from, presented;
        KestrelError verdict;
        std::uint64_t last_after;
    } rows[] = {
        {0, 1, KESTREL_OK, 1},  // the same as init
        {100, 99, KESTREL_ERROR_REPLAY_COUNTER, 100},
        {100, 100, KESTREL_ERROR_REPLAY_COUNTER, 100},
        {100, 101, KESTREL_OK, 101},
        {100, 7'000'000'000, KESTREL_OK, 7'000'000'000},
        {UINT64_MAX - 1, UINT64_MAX, KESTREL_OK, UINT64_MAX},
        {UINT64_MAX, UINT64_MAX, KESTREL_ERROR_REPLAY_COUNTER, UINT64_MAX},
    };
    const Key key = test_key(8);
    GuardBox box;
    KestrelReceiptGuard* g = box.guard.get();
    for (const auto& row : rows) {
        SCOPED_TRACE("resumed from " + std::to_string(row.resumed_from) + ", presented " +
                     std::to_string(row.presented));
        // Nonce 1 was accepted before the restart; the resumed guard does not remember it.
        ASSERT_EQ(kestrel_receipt_guard_init(g, key.data()), KESTREL_OK);
        ASSERT_EQ(kestrel_receipt_guard_check(g, issue(key, 1, 1, 0, 0.0, 0.0).data(), 0, 0.0, 0.0), KESTREL_OK);
        ASSERT_EQ(kestrel_receipt_guard_resume(g, key.data(), row.resumed_from), KESTREL_OK);
        std::uint64_t last = 12345;
        ASSERT_EQ(kestrel_receipt_guard_last_sequence_id(g, &last), KESTREL_OK);
        EXPECT_EQ(last, row.resumed_from);
        EXPECT_EQ(kestrel_receipt_guard_check(g, issue(key, row.presented, 1, 4, 0.5, 1.0).data(), 4, 0.5, 1.0),
                  row.verdict);
        ASSERT_EQ(kestrel_receipt_guard_last_sequence_id(g, &last), KESTREL_OK);
        EXPECT_EQ(last, row.last_after);
    }
}

// A rotation: each row presents a receipt under keys[key] with a sequence id
// and a nonce, after giving keys[add] as the next key if add is set.
TEST(ReceiptGuard, NextKeyTakesOverAtItsFirstReceipt) {
    const Key keys[] = {test_key(20), test_key(21), test_key(22), Key{}};
    const struct {
        int add, key;
        std::uint64_t seq;
        std::uint32_t nonce;
        KestrelError want;
        std::uint32_t count_after;
    } rows[] = {
        {3, 0, 1, 1, KESTREL_OK, 1},                            // a zero next key is refused, and changes nothing
        {2, 0, 2, 2, KESTREL_OK, 2},                            // a next key; the current one still holds
        {1, 2, 3, 3, KESTREL_ERROR_AUTHENTICATION_FAILURE, 2},  // ... that next key replaced before it was used
        {-1, 0, 3, 3, KESTREL_OK, 2},                           // the old key, until the first receipt under the next
        {-1, 1, 3, 4, KESTREL_ERROR_REPLAY_COUNTER, 2},         // one sequence across the switch
        {-1, 1, 4, 3, KESTREL_ERROR_REPLAY_NONCE, 2},           // one nonce ring
        {-1, 1, 4, 4, KESTREL_OK, 1},
        {-1, 0, 5, 5, KESTREL_ERROR_AUTHENTICATION_FAILURE, 1},  // the old key is gone
        {-1, 1, 5, 5, KESTREL_OK, 1},
        {2, 1, 6, 6, KESTREL_OK, 2},
        {1, 2, 7, 7, KESTREL_ERROR_AUTHENTICATION_FAILURE, 1},  // the current key again: no rotation, none waits
    };
    GuardBox box;
    KestrelReceiptGuard* g = box.guard.get();
    ASSERT_EQ(kestrel_receipt_guard_init(g, keys[0].data()), KESTREL_OK);
    for (const auto& row : rows) {
        SCOPED_TRACE("sequence id " + std::to_string(row.seq) + " under key " + std::to_string(row.key));
        if (row.add >= 0) {
            EXPECT_EQ(kestrel_receipt_guard_add_key(g, keys[row.add].data()),
                      row.add == 3 ? KESTREL_ERROR_ZERO_KEY : KESTREL_OK);
        }
        EXPECT_EQ(
            kestrel_receipt_guard_check(g, issue(keys[row.key], row.seq, row.nonce, 1, 0.5, 1.0).data(), 1, 0.5, 1.0),
            row.want);
        std::uint32_t count = 0;
        ASSERT_EQ(kestrel_receipt_guard_key_count(g, &count), KESTREL_OK);
        EXPECT_EQ(count, row.count_after);
    }
    ASSERT_EQ(kestrel_receipt_guard_add_key(g, keys[2].data()), KESTREL_OK);
    ASSERT_EQ(kestrel_receipt_guard_resume(g, keys[1].data(), 5), KESTREL_OK);
    std::uint32_t count = 0;
    EXPECT_EQ(kestrel_receipt_guard_key_count(g, &count), KESTREL_OK);
    EXPECT_EQ(count, 1u) << "resume forgets the next key";
}

TEST(ReceiptGuard, WipeLeavesOnlyZerosAndAnUnusableGuard) {
    const Key key = test_key(6);
    auto g = std::make_unique<KestrelReceiptGuard>();
    std::memset(g.get(), 0xee, sizeof *g);
    const ReceiptWire wire = issue(key, 1, 1, 0, 0.0, 0.0);
    EXPECT_EQ(kestrel_receipt_guard_check(g.get(), wire.data(), 0, 0.0, 0.0), KESTREL_ERROR_INVALID_POINTER)
        << "never initialised";
    ASSERT_EQ(kestrel_receipt_guard_init(g.get(), key.data()), 0u);
    ASSERT_EQ(kestrel_receipt_guard_wipe(g.get()), 0u);
    EXPECT_TRUE(std::all_of(std::begin(g->opaque), std::end(g->opaque), [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(kestrel_receipt_guard_check(g.get(), wire.data(), 0, 0.0, 0.0), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_receipt_guard_set_max_age(g.get(), 1), KESTREL_ERROR_INVALID_POINTER);
    std::uint64_t last = 7;
    EXPECT_EQ(kestrel_receipt_guard_last_sequence_id(g.get(), &last), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(last, 7u);
    EXPECT_EQ(kestrel_receipt_guard_add_key(g.get(), key.data()), KESTREL_ERROR_INVALID_POINTER);
    EXPECT_EQ(kestrel_receipt_guard_wipe(g.get()), 0u) << "wiping twice is harmless";
}

TEST(ReceiptGuard, NullAndMisalignedPointersAreRefused) {
    const Key key = test_key(7);
    const ReceiptWire wire = issue(key, 1, 1, 0, 0.0, 0.0);
    constexpr KestrelError kInvalid = KESTREL_ERROR_INVALID_POINTER;
    EXPECT_EQ(kestrel_receipt_verify(nullptr, wire.data(), 0, 0.0, 0.0), kInvalid);
    EXPECT_EQ(kestrel_receipt_verify(key.data(), nullptr, 0, 0.0, 0.0), kInvalid);
    EXPECT_EQ(kestrel_receipt_guard_init(nullptr, key.data()), kInvalid);
    EXPECT_EQ(kestrel_receipt_guard_check(nullptr, wire.data(), 0, 0.0, 0.0), kInvalid);
    EXPECT_EQ(kestrel_receipt_guard_wipe(nullptr), kInvalid);
    EXPECT_EQ(kestrel_receipt_guard_resume(nullptr, key.data(), 1), kInvalid);
    std::uint64_t last = 0;
    EXPECT_EQ(kestrel_receipt_guard_last_sequence_id(nullptr, &last), kInvalid);
    std::uint32_t count = 0;
    EXPECT_EQ(kestrel_receipt_guard_add_key(nullptr, key.data()), kInvalid);
    EXPECT_EQ(kestrel_receipt_guard_key_count(nullptr, &count), kInvalid);

    GuardBox box;
    ASSERT_EQ(kestrel_receipt_guard_init(box.guard.get(), nullptr), kInvalid);
    ASSERT_EQ(kestrel_receipt_guard_resume(box.guard.get(), nullptr, 1), kInvalid);
    ASSERT_EQ(kestrel_receipt_guard_init(box.guard.get(), key.data()), 0u);
    EXPECT_EQ(kestrel_receipt_guard_last_sequence_id(box.guard.get(), nullptr), kInvalid);
    EXPECT_EQ(kestrel_receipt_guard_add_key(box.guard.get(), nullptr), kInvalid);
    EXPECT_EQ(kestrel_receipt_guard_key_count(box.guard.get(), nullptr), kInvalid);
    EXPECT_EQ(kestrel_receipt_guard_check(box.guard.get(), nullptr, 0, 0.0, 0.0), kInvalid);
    EXPECT_EQ(kestrel_receipt_guard_check(box.guard.get(), wire.data(), 0, 0.0, 0.0), 0u) << "refusals changed it";

    // Storage one byte (or 32 bytes) off the published alignment.
    auto raw = std::make_unique<unsigned char[]>(sizeof(KestrelReceiptGuard) + 2 * KESTREL_RECEIPT_GUARD_ALIGN);
    const auto base = reinterpret_cast<std::uintptr_t>(raw.get());
    const std::uintptr_t aligned =
        (base + KESTREL_RECEIPT_GUARD_ALIGN - 1) & ~std::uintptr_t{KESTREL_RECEIPT_GUARD_ALIGN - 1};
    for (const std::uintptr_t off : {1u, 32u}) {
        auto* g = reinterpret_cast<KestrelReceiptGuard*>(aligned + off);
        EXPECT_EQ(kestrel_receipt_guard_init(g, key.data()), kInvalid);
        EXPECT_EQ(kestrel_receipt_guard_check(g, wire.data(), 0, 0.0, 0.0), kInvalid);
        EXPECT_EQ(kestrel_receipt_guard_wipe(g), kInvalid);
        EXPECT_EQ(kestrel_receipt_guard_resume(g, key.data(), 1), kInvalid);
        EXPECT_EQ(kestrel_receipt_guard_last_sequence_id(g, &last), kInvalid);
    }
    EXPECT_EQ(kestrel_receipt_guard_size(), sizeof(KestrelReceiptGuard));
    EXPECT_EQ(kestrel_receipt_guard_alignment(), alignof(KestrelReceiptGuard));
}

// Each row signs (5, a NaN with sign and payload, -0.0) at `timestamp`, sets
// frame byte `at` to `value` (0 to 1 is no change) and checks the frame.
TEST(CommandFrame, AcceptedOnceInDateRefusalsLeaveNoTrace) {
    const Key key = test_key(9);
    GuardBox box;
    ASSERT_EQ(kestrel_receipt_guard_init(box.guard.get(), key.data()), KESTREL_OK);
    const double nan = std::bit_cast<double>(0xfff8'0000'dead'beefULL);
    constexpr std::uint64_t kSecond = 1'000'000'000, kMinute = 60 * kSecond;
    const std::uint64_t now = kestrel::wall_clock_ns();
    const struct {
        const char* what;
        std::uint64_t seq, timestamp, max_age, at, value;
        KestrelError want;
    } table[] = {
        {"in date", 1, now, kSecond, 0, 1, KESTREL_OK},
        {"replayed", 1, now, kSecond, 0, 1, KESTREL_ERROR_REPLAY_COUNTER},
        {"a minute old", 2, now - kMinute, kSecond, 0, 1, KESTREL_ERROR_STALE_RECEIPT},
        {"a minute ahead", 2, now + kMinute, kSecond, 0, 1, KESTREL_ERROR_STALE_RECEIPT},
        {"same id and nonce in date: the stale ones left no trace", 2, now, kSecond, 0, 1, KESTREL_OK},
        {"version 2", 3, now, kSecond, 0, 2, KESTREL_ERROR_INVALID_FRAME},
        {"reserved byte set", 3, now, kSecond, 3, 1, KESTREL_ERROR_INVALID_FRAME},
        {"another axis", 3, now, kSecond, 4, 6, KESTREL_ERROR_AUTHENTICATION_FAILURE},
        {"a minute old, within 70 s", 3, now - kMinute, 70 * kSecond, 0, 1, KESTREL_OK},
        {"an hour old, no maximum age", 4, now - 60 * kMinute, 0, 0, 1, KESTREL_OK},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(kestrel_receipt_guard_set_max_age(box.guard.get(), row.max_age), KESTREL_OK);
        KestrelFrame sent{5, nan, -0.0, {}}, out{};
        std::memcpy(sent.receipt, issue(key, row.seq, std::uint32_t(row.seq), 5, nan, -0.0, row.timestamp).data(), 60);
        std::uint8_t bytes[KESTREL_FRAME_LEN];
        ASSERT_EQ(kestrel_frame_encode(&sent, bytes), KESTREL_OK);
        bytes[row.at] = static_cast<std::uint8_t>(row.value);
        EXPECT_EQ(kestrel_receipt_guard_check_frame(box.guard.get(), bytes, &out), row.want);
        const bool same = out.axis == 5 && std::memcmp(&out.position, &nan, 8) == 0 && std::signbit(out.velocity) &&
                          std::memcmp(out.receipt, sent.receipt, 60) == 0;
        EXPECT_EQ(same, row.want == KESTREL_OK) << "the action is written exactly on acceptance";
    }
}

// A caller's clock for the tests: the time in *context.
std::uint64_t read_time(void* context) { return *static_cast<const std::uint64_t*>(context); }

// Each row sets the caller's clock (a reading below the last is taken as the
// last) or, with `wall`, goes back to the wall clock, then checks a receipt
// dated `timestamp` against a maximum age of one second.
TEST(ReceiptGuard, JudgesTheAgeByTheCallersClock) {
    const Key key = test_key(5);
    GuardBox box;
    ASSERT_EQ(kestrel_receipt_guard_init(box.guard.get(), key.data()), KESTREL_OK);
    ASSERT_EQ(kestrel_receipt_guard_set_max_age(box.guard.get(), 1'000'000'000), KESTREL_OK);
    constexpr std::uint64_t kT = 4'000'000'000'000'000'000;  // in 2096: stale on the wall clock
    std::uint64_t now = 0;
    ASSERT_EQ(kestrel_receipt_guard_set_clock(box.guard.get(), read_time, &now), KESTREL_OK);
    const struct {
        const char* what;
        bool wall;
        std::uint64_t now, timestamp;
        KestrelError want;
    } table[] = {
        {"a second old", false, kT, kT - 1'000'000'000, KESTREL_OK},
        {"ten seconds on", false, kT + 10'000'000'000, kT, KESTREL_ERROR_STALE_RECEIPT},
        {"the clock went back: taken as ten seconds on", false, kT, kT, KESTREL_ERROR_STALE_RECEIPT},
        {"in date at ten seconds on", false, kT, kT + 10'000'000'000, KESTREL_OK},
        {"the wall clock again", true, 0, kT + 10'000'000'001, KESTREL_ERROR_STALE_RECEIPT},
    };
    std::uint64_t seq = 0;
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        now = row.now;
        if (row.wall) {
            ASSERT_EQ(kestrel_receipt_guard_set_clock(box.guard.get(), nullptr, nullptr), KESTREL_OK);
        }
        ++seq;
        const ReceiptWire wire = issue(key, seq, std::uint32_t(seq), 2, 0.5, 0.25, row.timestamp);
        EXPECT_EQ(kestrel_receipt_guard_check(box.guard.get(), wire.data(), 2, 0.5, 0.25), row.want);
    }
    EXPECT_EQ(kestrel_receipt_guard_set_clock(nullptr, read_time, &now), KESTREL_ERROR_INVALID_POINTER);
}

// Each row moves the caller's clock to `at`, feeds the watchdog if `feed`,
// then asks whether it expired (timeout 100 ns, made at 1000).
TEST(Watchdog, ExpiresOnceNotFedForItsTimeout) {
    std::uint64_t now = 1000;
    KestrelWatchdog watchdog;
    EXPECT_EQ(kestrel_watchdog_init(&watchdog, 0, read_time, &now), KESTREL_ERROR_BAD_TIMEOUT);
    ASSERT_EQ(kestrel_watchdog_init(&watchdog, 100, read_time, &now), KESTREL_OK);
    const struct {
        const char* what;
        std::uint64_t at;
        bool feed;
        std::uint32_t expired;
    } table[] = {
        {"counts from init", 1099, false, 0},
        {"the timeout passed", 1100, false, 1},
        {"a feed clears it", 1100, true, 0},
        {"the clock went back: time stands at 1100", 500, false, 0},
        {"the timeout passed since the feed", 1200, false, 1},
        {"fed at the end of time", UINT64_MAX, true, 0},
        {"no wrap past it", 5, false, 0},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.what);
        now = row.at;
        if (row.feed) {
            ASSERT_EQ(kestrel_watchdog_feed(&watchdog), KESTREL_OK);
        }
        std::uint32_t expired = 7;
        ASSERT_EQ(kestrel_watchdog_expired(&watchdog, &expired), KESTREL_OK);
        EXPECT_EQ(expired, row.expired);
    }

    // On the wall clock, an hour is far off.
    ASSERT_EQ(kestrel_watchdog_init(&watchdog, 3'600'000'000'000, nullptr, nullptr), KESTREL_OK);
    std::uint32_t expired = 7;
    ASSERT_EQ(kestrel_watchdog_expired(&watchdog, &expired), KESTREL_OK);
    EXPECT_EQ(expired, 0u);

    constexpr KestrelError kInvalid = KESTREL_ERROR_INVALID_POINTER;
    KestrelWatchdog zeroed{};
    alignas(KESTREL_WATCHDOG_ALIGN) unsigned char raw[sizeof(KestrelWatchdog) + KESTREL_WATCHDOG_ALIGN] = {};
    auto* misaligned = reinterpret_cast<KestrelWatchdog*>(raw + 1);
    EXPECT_EQ(kestrel_watchdog_init(nullptr, 1, nullptr, nullptr), kInvalid);
    EXPECT_EQ(kestrel_watchdog_init(misaligned, 1, nullptr, nullptr), kInvalid);
    EXPECT_EQ(kestrel_watchdog_feed(&zeroed), kInvalid) << "never initialised";
    EXPECT_EQ(kestrel_watchdog_expired(&zeroed, &expired), kInvalid);
    EXPECT_EQ(kestrel_watchdog_expired(&watchdog, nullptr), kInvalid);
}

// The catalogue's answers, written out: the receipt codes keep the names and
// messages the Python exception carries, and no value, listed or not, gets NULL.
TEST(ErrorNames, KnownAnswers) {
    const struct {
        KestrelError error;
        const char* name;
        const char* message;
    } table[] = {
        {KESTREL_OK, "ok", "success"},
        {KESTREL_ERROR_INVALID_POINTER, "invalid_pointer", "null or misaligned pointer"},
        {KESTREL_ERROR_ACTION_ID_OVERFLOW, "action_id_overflow", "action id exceeds maximum size"},
        {KESTREL_ERROR_PAYLOAD_OVERFLOW, "payload_overflow", "payload exceeds maximum size"},
        {KESTREL_ERROR_INVALID_RECEIPT, "invalid_receipt", "receipt is malformed"},
        {KESTREL_ERROR_INVALID_KEY_LENGTH, "invalid_key_length", "key must be 32 bytes"},
        {KESTREL_ERROR_AUTHENTICATION_FAILURE, "authentication_failure", "HMAC verification failed"},
        {KESTREL_ERROR_REPLAY_COUNTER, "replay_counter", "monotonic counter violation (replay)"},
        {KESTREL_ERROR_REPLAY_NONCE, "replay_nonce", "nonce reuse detected"},
        {KESTREL_ERROR_HARDWARE_SHA_UNAVAILABLE, "hardware_sha_unavailable", "hardware SHA unavailable"},
        {KESTREL_ERROR_RATE_LIMITED, "rate_limited", "action rate limit exceeded"},
        {KESTREL_ERROR_VELOCITY_EXCEEDED, "velocity_exceeded", "commanded velocity exceeds the velocity limit"},
        {KESTREL_ERROR_RANDOM_SOURCE, "random_source", "failed to generate nonce"},
        {KESTREL_ERROR_BAD_JOINT_COUNT, "bad_joint_count", "the number of joints must be 1 to 32"},
        {KESTREL_ERROR_NOT_COUPLED, "not_coupled", "no coupling is set"},
        {KESTREL_ERROR_STALE_RECEIPT, "stale_receipt",
         "receipt is older, or dated further ahead, than the maximum age"},
        {KESTREL_ERROR_INVALID_FRAME, "invalid_frame",
         "command frame is malformed (length, version or reserved bytes)"},
        {KESTREL_ERROR_OUT_OF_MEMORY, "out_of_memory", "not enough memory for a new handle"},
        {KESTREL_ERROR_BAD_ENVELOPE, "bad_envelope", "min_bound must be strictly less than max_bound"},
        {KESTREL_ERROR_FORKED, "forked",
         "the boundary belongs to the process that made it; a forked child makes a boundary of its own"},
        {KESTREL_ERROR_BAD_JOINT, "bad_joint", "the joint index is not below the limiter's number of joints"},
        {KESTREL_ERROR_BAD_TIMEOUT, "bad_timeout", "a watchdog's timeout must be > 0"},
        {KESTREL_ERROR_ZERO_KEY, "zero_key", "a key of 32 zero bytes is refused: anyone can guess it"},
        {KESTREL_ERROR_KEY_FILE, "key_file", "the key file cannot be used"},
        {KESTREL_ERROR_DESCRIPTION_VALUE, "description_value",
         "a value in a robot description is not valid (a finite number, a known key, a range)"},
        {KESTREL_ERROR_POSITION_OUT_OF_RANGE, "position_out_of_range",
         "commanded position is outside the axis's position limits"},
        {KESTREL_ERROR_LOG_TRIP_FUNCTION, "log_trip_function",
         "a trip line records a safety function that tripped, not none or an unknown one"},
        {KESTREL_ERROR_LOG_KEYS, "log_keys", "a receipt log verifier holds at most 16 keys"},
        {KESTREL_ERROR_LOG_KEYS + 1, "unknown_error", "unknown error value"},
        {12345, "unknown_error", "unknown error value"},
        {-1, "unknown_error", "unknown error value"},
        {INT32_MIN, "unknown_error", "unknown error value"},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.error);
        EXPECT_STREQ(kestrel_error_name(row.error), row.name);
        EXPECT_STREQ(kestrel_error_message(row.error), row.message);
    }
}

}  // namespace
