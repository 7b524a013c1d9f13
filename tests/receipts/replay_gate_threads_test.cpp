// One replay gate shared by several threads the way a boundary shares it: a
// mutex around the replay gate and an atomic sequence counter advanced while
// that mutex is held. Writers authorize actions (lock, draw the sequence id
// and a nonce, issue, intercept, unlock); readers look at the observers under
// the same lock. Run under ThreadSanitizer (the tsan preset) this proves the
// locking discipline is enough: no data race, no lost or repeated sequence
// id, every action accepted.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "receipts/action_id.hpp"
#include "receipts/replay_gate.hpp"
#include "receipts/hmac.hpp"
#include "security_testing.hpp"

namespace {

using kestrel::Nonce;
using kestrel::NONCE_WINDOW;
using kestrel::Payload;
using kestrel::Receipt;
using kestrel::ReplayGate;

// The guarded state of one boundary.
struct SharedBoundary {
    explicit SharedBoundary(const kestrel::Key& key) : gate(key) {}
    std::mutex mutex;
    ReplayGate gate;                        // guarded by mutex
    std::atomic<std::uint64_t> counter{0};  // advanced only while mutex is held
};

TEST(ReplayGateThreads, WritersAndReadersShareOneReplayGateBehindItsMutex) {
    constexpr std::uint32_t kWriters = 4;
    constexpr std::uint32_t kCallsPerWriter = 400;  // 1600 in all: the ring wraps
    constexpr std::uint32_t kReaders = 2;
    constexpr std::uint64_t kTotal = std::uint64_t{kWriters} * kCallsPerWriter;

    SharedBoundary boundary(kestrel::testing::test_key(4));

    std::vector<std::vector<std::uint64_t>> issued(kWriters);
    std::vector<std::vector<KestrelError>> refusals(kWriters);
    std::atomic<bool> writers_done{false};
    std::atomic<std::uint64_t> reader_faults{0};

    auto writer = [&](std::uint32_t w) {
        const kestrel::AxisActionId action = kestrel::axis_action_id(static_cast<std::int32_t>(w));
        const std::span<const std::uint8_t> action_id = action.bytes();
        Payload payload{};
        payload[0] = static_cast<std::uint8_t>(w);
        for (std::uint32_t call = 0; call < kCallsPerWriter; ++call) {
            const std::lock_guard<std::mutex> lock(boundary.mutex);
            const std::uint64_t sequence_id = boundary.counter.fetch_add(1) + 1;
            Receipt receipt;
            // Distinct across the whole run, so every refusal would be a fault.
            const Nonce nonce = kestrel::testing::test_nonce(w * kCallsPerWriter + call);
            KestrelError e = boundary.gate.issue_receipt(nonce, 1000 + call, sequence_id, action_id, payload, receipt);
            if (e == KESTREL_OK) e = boundary.gate.check_and_accept(action_id, payload, receipt);
            if (e == KESTREL_OK) {
                issued[w].push_back(sequence_id);
            } else {
                refusals[w].push_back(e);
            }
        }
    };

    // Readers see a consistent state at every lock: the last accepted id never
    // goes back and the observers agree with each other.
    auto reader = [&] {
        std::uint64_t seen = 0;
        while (!writers_done.load()) {
            const std::lock_guard<std::mutex> lock(boundary.mutex);
            const std::uint64_t last = boundary.gate.last_sequence_id();
            const std::size_t count = boundary.gate.nonce_count();
            const std::size_t slot = boundary.gate.next_slot();
            const bool ok = last >= seen && last == boundary.counter.load() &&
                            count == std::min<std::uint64_t>(last, NONCE_WINDOW) && slot == last % NONCE_WINDOW;
            if (!ok) reader_faults.fetch_add(1);
            seen = last;
        }
    };

    std::vector<std::thread> threads;
    for (std::uint32_t r = 0; r < kReaders; ++r) threads.emplace_back(reader);
    std::vector<std::thread> writers;
    for (std::uint32_t w = 0; w < kWriters; ++w) writers.emplace_back(writer, w);
    for (auto& t : writers) t.join();
    writers_done.store(true);
    for (auto& t : threads) t.join();

    std::vector<std::uint64_t> all;
    for (std::uint32_t w = 0; w < kWriters; ++w) {
        SCOPED_TRACE("writer " + std::to_string(w));
        EXPECT_TRUE(refusals[w].empty()) << refusals[w].size() << " refusals, first code "
                                         << static_cast<unsigned>(refusals[w].front());
        // Each writer's ids rise, since the counter only moves under the lock.
        EXPECT_TRUE(std::is_sorted(issued[w].begin(), issued[w].end()));
        all.insert(all.end(), issued[w].begin(), issued[w].end());
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), kTotal);
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a sequence id was handed out twice";
    EXPECT_EQ(all.front(), 1u);
    EXPECT_EQ(all.back(), kTotal);
    EXPECT_EQ(reader_faults.load(), 0u);

    const std::lock_guard<std::mutex> lock(boundary.mutex);
    EXPECT_EQ(boundary.gate.last_sequence_id(), kTotal);
    EXPECT_EQ(boundary.gate.nonce_count(), std::min<std::uint64_t>(kTotal, NONCE_WINDOW));
    EXPECT_EQ(boundary.gate.next_slot(), kTotal % NONCE_WINDOW);
}

}  // namespace
