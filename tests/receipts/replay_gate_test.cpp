#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <new>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "receipts/action_id.hpp"
#include "receipts/replay_gate.hpp"
#include "receipts/hmac.hpp"
#include "receipts/nonce_ring.hpp"
#include "security_testing.hpp"

namespace {

using kestrel::Key;
using kestrel::Nonce;
using kestrel::NONCE_WINDOW;
using kestrel::Payload;
using kestrel::Receipt;
using kestrel::ReplayGate;
using kestrel::testing::Bytes;
using kestrel::testing::bytes_of;

Key key_from(std::uint8_t seed) { return kestrel::testing::test_key(seed); }
Nonce nonce_from(std::uint32_t i) { return kestrel::testing::test_nonce(i); }
constexpr const Payload& kPayload = kestrel::testing::kTestPayload;

// Everything a refusal must leave alone, copied out.
struct Snapshot {
    std::vector<Nonce> ring;
    std::size_t next_slot;
    std::size_t nonce_count;
    std::uint64_t last_sequence_id;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const ReplayGate& b) {
    Snapshot s{{}, b.next_slot(), b.nonce_count(), b.last_sequence_id()};
    for (std::size_t slot = 0; slot < NONCE_WINDOW; ++slot) s.ring.push_back(b.recent_nonce(slot));
    return s;
}

// A replay gate and the shortcuts to present well-formed receipts to it.
class Gate {
public:
    explicit Gate(const Key& key) : key_(key), gate_(key) {}

    Receipt issue(std::uint64_t seq, const Nonce& nonce, std::string_view action = "axis_3",
                  std::uint64_t timestamp = 1700000000000000000u) const {
        Receipt r;
        EXPECT_EQ(gate_.issue_receipt(nonce, timestamp, seq, bytes_of(action), kPayload, r), KESTREL_OK);
        return r;
    }

    KestrelError present(const Receipt& r, std::string_view action = "axis_3") {
        return gate_.check_and_accept(bytes_of(action), kPayload, r);
    }

    // Presents a receipt that must be refused with `expected` and checks that
    // the refusal left no trace.
    void expect_refused(const Receipt& r, KestrelError expected, std::string_view action = "axis_3") {
        const Snapshot before = snapshot(gate_);
        EXPECT_EQ(present(r, action), expected);
        EXPECT_TRUE(snapshot(gate_) == before) << "a refusal changed the replay gate";
    }

    const Key& key() const { return key_; }
    ReplayGate& replay_gate() { return gate_; }

private:
    Key key_;
    ReplayGate gate_;
};

// A good receipt with the last bit of its tag flipped.
Receipt with_bad_tag(Receipt r) {
    r.tag[31] ^= 1;
    return r;
}

// ---------------------------------------------------------------- issuing

TEST(BoundaryIssue, SameReceiptAsAuthorizeAndChangesNothing) {
    Gate gate(key_from(1));
    ASSERT_EQ(gate.present(gate.issue(1, nonce_from(1))), KESTREL_OK);
    const Snapshot before = snapshot(gate.replay_gate());
    for (std::size_t len : {0u, 6u, 59u, 60u, 64u}) {
        SCOPED_TRACE("action id length " + std::to_string(len));
        const Bytes id(len, 'x');
        Receipt from_gate, direct;
        ASSERT_EQ(gate.replay_gate().issue_receipt(nonce_from(9), 123, 1, id, kPayload, from_gate), KESTREL_OK);
        ASSERT_EQ(kestrel::sign_receipt(gate.key(), nonce_from(9), 123, 1, id, kPayload, direct), KESTREL_OK);
        EXPECT_EQ(from_gate.to_wire(), direct.to_wire());
    }
    Receipt untouched;
    untouched.tag.fill(0x77);
    const auto wire = untouched.to_wire();
    EXPECT_EQ(gate.replay_gate().issue_receipt(nonce_from(9), 123, 2, Bytes(65, 'x'), kPayload, untouched),
              KESTREL_ERROR_ACTION_ID_OVERFLOW);
    EXPECT_EQ(untouched.to_wire(), wire);
    EXPECT_TRUE(snapshot(gate.replay_gate()) == before);
}

TEST(BoundaryIssue, AxisActionIds) {
    const std::pair<std::int32_t, std::string_view> cases[] = {{3, "axis_3"},
                                                               {0, "axis_0"},
                                                               {-1, "axis_-1"},
                                                               {12, "axis_12"},
                                                               {INT32_MAX, "axis_2147483647"},
                                                               {INT32_MIN, "axis_-2147483648"}};
    for (const auto& [axis, text] : cases) {
        const kestrel::AxisActionId id = kestrel::axis_action_id(axis);
        EXPECT_EQ(id.view(), text);
        EXPECT_EQ(id.bytes().size(), text.size());
    }
    EXPECT_EQ(kestrel::axis_action_id(INT32_MIN).size, kestrel::AXIS_ACTION_ID_MAX_LEN);
}

// ---------------------------------------------------------------- acceptance

// Unused ring slots hold zeros but are never compared, whether the ring is
// empty or holds one nonce.
TEST(BoundaryAccept, ZeroNonceIsNoReplayOfUnusedSlots) {
    for (const bool one_accepted_first : {false, true}) {
        SCOPED_TRACE(one_accepted_first ? "one nonce remembered" : "fresh replay gate");
        Gate gate(key_from(2));
        std::uint64_t seq = 1;
        if (one_accepted_first) {
            ASSERT_EQ(gate.present(gate.issue(seq++, nonce_from(1))), KESTREL_OK);
        }
        gate.expect_refused(with_bad_tag(gate.issue(seq, Nonce{})), KESTREL_ERROR_AUTHENTICATION_FAILURE);
        EXPECT_EQ(gate.present(gate.issue(seq, Nonce{})), KESTREL_OK);
        EXPECT_EQ(gate.replay_gate().last_sequence_id(), seq);
        EXPECT_EQ(gate.replay_gate().nonce_count(), seq);
        EXPECT_EQ(gate.replay_gate().next_slot(), seq);
    }
}

TEST(BoundaryAccept, SequenceIdsMayJumpButNeverRepeatOrFall) {
    Gate gate(key_from(3));
    // Sequence id 0 is never newer than anything, not even a fresh gate.
    gate.expect_refused(gate.issue(0, nonce_from(0)), KESTREL_ERROR_REPLAY_COUNTER);
    std::uint32_t n = 1;
    for (std::uint64_t seq : {1u, 5u, 100u}) {
        SCOPED_TRACE(seq);
        EXPECT_EQ(gate.present(gate.issue(seq, nonce_from(n++))), KESTREL_OK);
    }
    for (std::uint64_t seq : {100u, 99u, 5u, 1u, 0u}) {
        SCOPED_TRACE(seq);
        gate.expect_refused(gate.issue(seq, nonce_from(n++)), KESTREL_ERROR_REPLAY_COUNTER);
    }
    EXPECT_EQ(gate.present(gate.issue(UINT64_MAX, nonce_from(n++))), KESTREL_OK);
    gate.expect_refused(gate.issue(UINT64_MAX, nonce_from(n++)), KESTREL_ERROR_REPLAY_COUNTER);
}

TEST(BoundaryAccept, TimestampIsCoveredButNeverCompared) {
    Gate gate(key_from(4));
    EXPECT_EQ(gate.present(gate.issue(1, nonce_from(1), "axis_3", 0)), KESTREL_OK);
    EXPECT_EQ(gate.present(gate.issue(2, nonce_from(2), "axis_3", UINT64_MAX)), KESTREL_OK);
    EXPECT_EQ(gate.present(gate.issue(3, nonce_from(3), "axis_3", 5)), KESTREL_OK);
}

// ---------------------------------------------------------------- refusals

// Every presented receipt is built from a good one for sequence id 11 and a
// fresh nonce, on a gate that has accepted sequence id 10 with kOldNonce.
const Nonce kOldNonce = nonce_from(1000);
const Nonce kFreshNonce = nonce_from(2000);

struct Presented {
    Receipt receipt;
    std::string action = "axis_3";
};

struct RefusalCase {
    const char* name;
    Presented (*make)(const Gate&);
    KestrelError expected;
};

const RefusalCase kRefusals[] = {
    // Order of the checks: an earlier failing check hides every later one.
    {"stale id, old nonce, bad tag, long action",
     [](const Gate& g) {
         return Presented{with_bad_tag(g.issue(10, kOldNonce)), std::string(65, 'x')};
     },
     KESTREL_ERROR_REPLAY_COUNTER},
    {"older id, fresh nonce, good tag", [](const Gate& g) { return Presented{g.issue(3, kFreshNonce)}; },
     KESTREL_ERROR_REPLAY_COUNTER},
    {"fresh id, old nonce, bad tag, long action",
     [](const Gate& g) {
         return Presented{with_bad_tag(g.issue(11, kOldNonce)), std::string(65, 'x')};
     },
     KESTREL_ERROR_REPLAY_NONCE},
    {"fresh id, old nonce, good tag", [](const Gate& g) { return Presented{g.issue(11, kOldNonce)}; },
     KESTREL_ERROR_REPLAY_NONCE},
    {"fresh, 65-byte action, bad tag",
     [](const Gate& g) {
         return Presented{with_bad_tag(g.issue(11, kFreshNonce)), std::string(65, 'x')};
     },
     KESTREL_ERROR_ACTION_ID_OVERFLOW},
    // The tag binds every field and the key.
    {"tag flipped in its last bit", [](const Gate& g) { return Presented{with_bad_tag(g.issue(11, kFreshNonce))}; },
     KESTREL_ERROR_AUTHENTICATION_FAILURE},
    {"tag flipped in its first bit",
     [](const Gate& g) {
         Receipt r = g.issue(11, kFreshNonce);
         r.tag[0] ^= 0x80;
         return Presented{r};
     },
     KESTREL_ERROR_AUTHENTICATION_FAILURE},
    {"tag under another key",
     [](const Gate&) {
         Receipt r;
         EXPECT_EQ(kestrel::sign_receipt(key_from(99), kFreshNonce, 1700000000000000000u, 11, bytes_of("axis_3"),
                                         kPayload, r),
                   KESTREL_OK);
         return Presented{r};
     },
     KESTREL_ERROR_AUTHENTICATION_FAILURE},
    {"tag for another action id", [](const Gate& g) { return Presented{g.issue(11, kFreshNonce, "axis_12")}; },
     KESTREL_ERROR_AUTHENTICATION_FAILURE},
    {"tag for the action id's prefix", [](const Gate& g) { return Presented{g.issue(11, kFreshNonce, "axis_")}; },
     KESTREL_ERROR_AUTHENTICATION_FAILURE},
    {"another timestamp",
     [](const Gate& g) {
         Receipt r = g.issue(11, kFreshNonce);
         r.timestamp_nanos += 1;
         return Presented{r};
     },
     KESTREL_ERROR_AUTHENTICATION_FAILURE},
    {"another sequence id",
     [](const Gate& g) {
         Receipt r = g.issue(11, kFreshNonce);
         r.sequence_id = 12;
         return Presented{r};
     },
     KESTREL_ERROR_AUTHENTICATION_FAILURE},
    {"another nonce",
     [](const Gate& g) {
         Receipt r = g.issue(11, kFreshNonce);
         r.nonce[11] ^= 1;
         return Presented{r};
     },
     KESTREL_ERROR_AUTHENTICATION_FAILURE},
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, NoTrace) {
    const RefusalCase& c = GetParam();
    Gate gate(key_from(5));
    ASSERT_EQ(gate.present(gate.issue(10, kOldNonce)), KESTREL_OK);

    const Presented p = c.make(gate);
    gate.expect_refused(p.receipt, c.expected, p.action);

    // Nothing was recorded, so sequence id 11 and the fresh nonce still pass.
    EXPECT_EQ(gate.present(gate.issue(11, kFreshNonce)), KESTREL_OK);
}

INSTANTIATE_TEST_SUITE_P(Gate, Refusal, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<RefusalCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p; ++p) {
                                 const bool word = std::isalnum(static_cast<unsigned char>(*p));
                                 if (word)
                                     name += *p;
                                 else if (!name.empty() && name.back() != '_')
                                     name += '_';
                             }
                             return name;
                         });

TEST(BoundaryRefusal, SameStateSeesRefusalsAsNoChange) {
    Gate a(key_from(6)), b(key_from(6)), other_key(key_from(7));
    EXPECT_TRUE(a.replay_gate().same_state(b.replay_gate()));
    EXPECT_FALSE(a.replay_gate().same_state(other_key.replay_gate()));
    EXPECT_EQ(a.present(with_bad_tag(a.issue(1, nonce_from(1)))), KESTREL_ERROR_AUTHENTICATION_FAILURE);
    EXPECT_TRUE(a.replay_gate().same_state(b.replay_gate()));
    ASSERT_EQ(a.present(a.issue(1, nonce_from(1))), KESTREL_OK);
    EXPECT_FALSE(a.replay_gate().same_state(b.replay_gate()));
}

// ---------------------------------------------------------------- the nonce ring

TEST(BoundaryRing, RemembersExactlyTheLast1024Nonces) {
    Gate gate(key_from(9));
    std::uint64_t seq = 0;
    auto accept = [&](std::uint32_t nonce_index) {
        ASSERT_EQ(gate.present(gate.issue(++seq, nonce_from(nonce_index))), KESTREL_OK);
    };
    // A reused nonce presented with a bad tag reveals whether the ring holds
    // it (ReplayNonce) or not (AuthenticationFailure), without changing it.
    auto remembered = [&](std::uint32_t nonce_index) {
        const Snapshot before = snapshot(gate.replay_gate());
        const KestrelError e = gate.present(with_bad_tag(gate.issue(seq + 1, nonce_from(nonce_index))));
        EXPECT_TRUE(snapshot(gate.replay_gate()) == before);
        EXPECT_TRUE(e == KESTREL_ERROR_REPLAY_NONCE || e == KESTREL_ERROR_AUTHENTICATION_FAILURE);
        return e == KESTREL_ERROR_REPLAY_NONCE;
    };

    for (std::uint32_t i = 0; i < NONCE_WINDOW; ++i) {
        accept(i);
        ASSERT_EQ(gate.replay_gate().nonce_count(), i + 1);
        ASSERT_EQ(gate.replay_gate().next_slot(), (i + 1) % NONCE_WINDOW);
    }
    // Full, and the next write goes to slot 0 again: the first nonce is still
    // there, as is every other one.
    EXPECT_EQ(gate.replay_gate().next_slot(), 0u);
    for (std::uint32_t i = 0; i < NONCE_WINDOW; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(remembered(i));
    }
    EXPECT_FALSE(remembered(NONCE_WINDOW));

    // The 1025th acceptance overwrites the first nonce, which is then
    // accepted again; the second is still refused.
    accept(NONCE_WINDOW);
    EXPECT_EQ(gate.replay_gate().nonce_count(), NONCE_WINDOW);
    EXPECT_EQ(gate.replay_gate().next_slot(), 1u);
    EXPECT_EQ(gate.replay_gate().recent_nonce(0), nonce_from(NONCE_WINDOW));
    gate.expect_refused(gate.issue(seq + 1, nonce_from(1)), KESTREL_ERROR_REPLAY_NONCE);
    accept(0);

    // Wrapped part way round: the window straddles the end of the array.
    for (std::uint32_t i = 0; i < 300; ++i) accept(5000 + i);
    const std::size_t next = gate.replay_gate().next_slot();
    EXPECT_EQ(next, (NONCE_WINDOW + 2 + 300) % NONCE_WINDOW);
    for (std::uint32_t i = 0; i < 300; ++i) {
        SCOPED_TRACE(5000 + i);
        EXPECT_TRUE(remembered(5000 + i));
    }
    // Slots 302..1023 still hold the first round's nonces 302..1023; slot 0
    // holds 1024 and slot 1 the re-accepted 0, so 1..301 have fallen out.
    for (std::uint32_t i = 0; i <= NONCE_WINDOW; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(remembered(i), i == 0 || i >= 302);
    }
}

// ---------------------------------------------------------------- ring index

// The index answers as a scan of the last NONCE_WINDOW insertions would,
// through wraps, repeated nonces and chains of every length: 5000 insertions
// drawn from 1500 nonces, each followed by look-ups of a nonce just evicted,
// a remembered one and one never inserted.
TEST(NonceRingIndex, AgreesWithAScanOfTheLastInsertions) {
    kestrel::NonceRing ring;
    std::vector<Nonce> inserted;
    std::uint32_t state = 12345;
    auto draw = [&](std::uint32_t n) { return ((state = state * 1664525u + 1013904223u) >> 8) % n; };
    auto in_window = [&](const Nonce& n) {
        const std::size_t from = inserted.size() > NONCE_WINDOW ? inserted.size() - NONCE_WINDOW : 0;
        return std::find(inserted.begin() + static_cast<std::ptrdiff_t>(from), inserted.end(), n) != inserted.end();
    };
    for (std::uint32_t i = 0; i < 5000; ++i) {
        const Nonce n = nonce_from(draw(1500));
        ring.insert(n);
        inserted.push_back(n);
        const std::size_t evicted = inserted.size() > NONCE_WINDOW ? inserted.size() - NONCE_WINDOW - 1 : 0;
        for (const Nonce& probe : {inserted[evicted], inserted[inserted.size() - 1 - draw(NONCE_WINDOW) % inserted.size()],
                                   nonce_from(2000 + i)}) {
            if (ring.contains(probe) != in_window(probe)) FAIL() << "after insertion " << i;
        }
    }
    // The index is a function of what the ring remembers: a ring given only
    // the last NONCE_WINDOW insertions is equal, links included.
    kestrel::NonceRing fresh;
    for (std::size_t k = 0; k < inserted.size(); ++k) {
        fresh.insert(k + NONCE_WINDOW >= inserted.size() ? inserted[k] : nonce_from(999999));
    }
    EXPECT_TRUE(fresh == ring);
}

// ---------------------------------------------------------------- key hygiene

bool contains(const unsigned char* haystack, std::size_t len, const void* needle, std::size_t needle_len) {
    const auto* n = static_cast<const unsigned char*>(needle);
    return std::search(haystack, haystack + len, n, n + needle_len) != haystack + len;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
// The chaining value after one key block: what a primed HMAC state holds.
std::array<std::uint32_t, 8> primed_chaining_value(const Key& key, std::uint8_t pad) {
    std::uint8_t block[64];
    for (std::size_t i = 0; i < 64; ++i) block[i] = static_cast<std::uint8_t>((i < 32 ? key[i] : 0) ^ pad);
    SHA256_CTX ctx;
    SHA256_Init(&ctx);
    SHA256_Update(&ctx, block, sizeof block);
    std::array<std::uint32_t, 8> h;
    std::memcpy(h.data(), ctx.h, sizeof ctx.h);
    return h;
}
#pragma GCC diagnostic pop

// The raw key is never held, only its primed states, and those die wiped.
TEST(BoundaryKeyHygiene, DestructionWipesThePrimedStates) {
    const Key key = key_from(11);
    const auto inner = primed_chaining_value(key, 0x36);
    const auto outer = primed_chaining_value(key, 0x5c);
    alignas(ReplayGate) unsigned char storage[sizeof(ReplayGate)];
    auto* gate = new (storage) ReplayGate(key);
    EXPECT_FALSE(contains(storage, sizeof storage, key.data(), key.size()));
    ASSERT_TRUE(contains(storage, sizeof storage, inner.data(), sizeof inner));
    ASSERT_TRUE(contains(storage, sizeof storage, outer.data(), sizeof outer));
    gate->~ReplayGate();
    EXPECT_FALSE(contains(storage, sizeof storage, inner.data(), sizeof inner));
    EXPECT_FALSE(contains(storage, sizeof storage, outer.data(), sizeof outer));
}

}  // namespace
