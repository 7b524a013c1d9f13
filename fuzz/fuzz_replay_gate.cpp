// Fuzz target for ReplayGate and its NonceRing.
//
// The input is a program of operations against one replay gate (the gate):
// honest receipts, short bursts of them, exact replays, reused nonces,
// receipts with one byte changed, receipts made under another key, long
// action ids, far sequence ids and receipts made of raw input bytes. Beside
// the gate run
//   - a reference model: the last accepted sequence id, every accepted nonce
//     in order and the tag computed by libcrypto's HMAC over the message laid
//     out by the shared test support, so that the model knows the one right
//     answer to every presented receipt;
//   - a shadow replay gate under the same key that is shown only the receipts
//     the gate accepted.
// After every presentation: the gate's answer equals the model's; an
// acceptance is accepted by the shadow too; a refusal leaves the gate in the
// shadow's state; the observers agree with the model. At the end the gate is
// compared with the shadow once more and every ring slot with the model.
//
// An input presents at most kMaxPresentations receipts, so one execution
// stays cheap (a 1024-nonce ring filled per input cost milliseconds). A full,
// wrapped ring is reached instead by the ring operation, which copies a ring
// filled once per process and checks its inserts and look-ups against a
// model of every insertion.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "receipts/action_id.hpp"
#include "receipts/replay_gate.hpp"
#include "receipts/hmac.hpp"
#include "receipts/nonce_ring.hpp"
#include "security_testing.hpp"

#include "fuzz_reader.hpp"

namespace {

using kestrel::Key;
using kestrel::Nonce;
using kestrel::NONCE_WINDOW;
using kestrel::NonceRing;
using kestrel::Payload;
using kestrel::Receipt;
using kestrel::ReplayGate;
using kestrel::Tag;
using kestrel::testing::Bytes;

// Receipts one input may present: enough for every kind of operation several
// times over, few enough that an execution takes well under a millisecond.
constexpr std::size_t kMaxPresentations = 128;

[[noreturn]] void fail(const char* what, std::size_t op, KestrelError got = KESTREL_OK,
                       KestrelError want = KESTREL_OK) {
    std::fprintf(stderr, "invariant broken at operation %zu: %s (got %u, want %u)\n", op, what,
                 static_cast<unsigned>(got), static_cast<unsigned>(want));
    std::abort();
}

// Nonces compared as two integers. The slot checks compare thousands of
// nonces per input, and std::array's == is a memcmp call, which the
// sanitizers intercept and record at many times the cost of the compare.
// Not coverage-traced either: these compares check the model and never
// guide the search.
__attribute__((no_sanitize("coverage"))) bool same_nonce(const Nonce& a, const Nonce& b) {
    std::uint64_t a0, b0;
    std::uint32_t a1, b1;
    std::memcpy(&a0, a.data(), 8);
    std::memcpy(&b0, b.data(), 8);
    std::memcpy(&a1, a.data() + 8, 4);
    std::memcpy(&b1, b.data() + 8, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

struct NonceHash {
    std::size_t operator()(const Nonce& n) const {
        std::uint64_t lo;
        std::uint32_t hi;
        std::memcpy(&lo, n.data(), 8);
        std::memcpy(&hi, n.data() + 8, 4);
        return std::hash<std::uint64_t>{}(lo ^ (std::uint64_t{hi} * 0x9e3779b97f4a7c15u));
    }
};

// A sequence of inserted nonces, oldest first, with the index of each
// nonce's newest insertion, so that "among the last NONCE_WINDOW inserted"
// is one look-up rather than a scan of up to NONCE_WINDOW nonces.
class NonceHistory {
public:
    void insert(const Nonce& n) {
        newest_[n] = order_.size();
        order_.push_back(n);
    }
    // Index of the newest insertion of `n`, if it was ever inserted.
    std::optional<std::size_t> newest(const Nonce& n) const {
        const auto it = newest_.find(n);
        if (it == newest_.end()) return std::nullopt;
        return it->second;
    }
    bool in_window(const Nonce& n) const {
        const std::optional<std::size_t> k = newest(n);
        return k && order_.size() - *k <= NONCE_WINDOW;
    }
    void clear() {
        order_.clear();
        newest_.clear();
    }
    std::size_t size() const { return order_.size(); }
    bool empty() const { return order_.empty(); }
    const Nonce& operator[](std::size_t k) const { return order_[k]; }

private:
    std::vector<Nonce> order_;
    std::unordered_map<Nonce, std::size_t, NonceHash> newest_;
};

// What the gate must do, and what it must remember.
class Model {
public:
    explicit Model(const Key& key) : key_(key) {}

    KestrelError expect(const Bytes& action_id, const Payload& payload, const Receipt& r) const {
        if (r.sequence_id <= last_) return KESTREL_ERROR_REPLAY_COUNTER;
        if (accepted_.in_window(r.nonce)) return KESTREL_ERROR_REPLAY_NONCE;
        if (action_id.size() > kestrel::MAX_ACTION_ID_LEN) return KESTREL_ERROR_ACTION_ID_OVERFLOW;
        if (r.tag != tag(r.nonce, r.timestamp_nanos, r.sequence_id, action_id, payload)) {
            return KESTREL_ERROR_AUTHENTICATION_FAILURE;
        }
        return KESTREL_OK;
    }

    // libcrypto's tag for this action under the gate's key. An honest
    // receipt asks for the same message twice in a row (its issue is
    // checked, then its presentation), so the last message and its tag are
    // kept: every tag compared is still libcrypto's, computed once per
    // message instead of twice.
    Tag tag(const Nonce& nonce, std::uint64_t timestamp, std::uint64_t sequence_id,
            std::span<const std::uint8_t> action_id, const Payload& payload) const {
        Bytes message = kestrel::testing::reference_message(nonce, timestamp, sequence_id, action_id, payload);
        if (message != last_message_) {
            last_tag_ = kestrel::testing::reference_hmac(key_, message);
            last_message_ = std::move(message);
        }
        return last_tag_;
    }

    void accept(const Receipt& r) {
        last_ = r.sequence_id;
        accepted_.insert(r.nonce);
    }

    // Back to the state before any acceptance. The last tag stays valid:
    // the key never changes.
    void reset() {
        last_ = 0;
        accepted_.clear();
    }

    std::uint64_t last() const { return last_; }
    const NonceHistory& accepted() const { return accepted_; }

private:
    Key key_;
    std::uint64_t last_ = 0;
    NonceHistory accepted_;  // every accepted nonce
    mutable Bytes last_message_;
    mutable Tag last_tag_{};
};

struct Presented {
    Bytes action_id;
    Payload payload;
    Receipt receipt;
};

// A full ring that has wrapped (1024 + 300 insertions), built once per
// process, and its model: every insertion.
struct FilledRing {
    static constexpr std::uint32_t kInserted = NONCE_WINDOW + 300;
    NonceRing ring;
    NonceHistory history;
    FilledRing() {
        for (std::uint32_t i = 0; i < kInserted; ++i) {
            const Nonce n = kestrel::testing::test_nonce(i);
            ring.insert(n);
            history.insert(n);
        }
    }
};

// Up to 32 inserts and look-ups on a copy of the filled ring: a look-up must
// find exactly the nonces among the last NONCE_WINDOW inserted, and every
// slot must hold the nonce the model puts there. The model is the filled
// ring's history, shared, followed by this program's own inserts.
void ring_program(FuzzReader& in, std::size_t op) {
    static const FilledRing filled;
    constexpr std::size_t kMaxSteps = 32;
    NonceRing ring = filled.ring;
    std::array<Nonce, kMaxSteps> added;  // insertion number kInserted + i is added[i]
    std::size_t n_added = 0;
    auto inserted = [&] { return FilledRing::kInserted + n_added; };
    auto nonce_of = [&](std::size_t k) -> const Nonce& {
        return k < FilledRing::kInserted ? filled.history[k] : added[k - FilledRing::kInserted];
    };
    auto in_window = [&](const Nonce& n) {
        for (std::size_t i = n_added; i-- > 0;) {  // newest first: the newest insertion decides
            if (same_nonce(added[i], n)) return n_added - i <= NONCE_WINDOW;
        }
        const std::optional<std::size_t> k = filled.history.newest(n);
        return k && inserted() - *k <= NONCE_WINDOW;
    };
    const std::size_t steps = 1 + in.byte() % kMaxSteps;
    for (std::size_t i = 0; i < steps; ++i) {
        const std::uint8_t kind = in.byte();
        Nonce nonce;
        if (kind & 1) {  // one of the remembered nonces, counted back from the newest
            const std::size_t back = std::size_t{in.byte()} << 8 | in.byte();
            nonce = nonce_of(inserted() - 1 - back % NONCE_WINDOW);
        } else {
            nonce = in.array<12>();
        }
        if (kind & 2) {
            ring.insert(nonce);
            added[n_added++] = nonce;
        } else if (ring.contains(nonce) != in_window(nonce)) {
            fail("ring look-up disagrees with the model", op);
        }
    }
    if (ring.count() != NONCE_WINDOW || ring.next_slot() != inserted() % NONCE_WINDOW) {
        fail("ring count or next slot disagrees with the model", op);
    }
    // Every slot, against the insertion that last wrote it.
    for (std::size_t k = inserted() - NONCE_WINDOW; k < inserted(); ++k) {
        if (!same_nonce(ring.at(k), nonce_of(k))) fail("ring slot disagrees with the model", op);
    }
}

class Harness {
public:
    Harness() : key_(kestrel::testing::test_key(0)), model_(key_) {}

    // One harness serves every input of the process and starts each from
    // nothing: a new gate and shadow, an empty model and history. Their
    // storage is kept, because under the address sanitizer every freed block
    // is quarantined and every new one costs fresh pages, which was a large
    // part of an execution.
    void run(FuzzReader& in) {
        gate_.emplace(key_);
        shadow_.emplace(key_);
        model_.reset();
        history_.clear();
        history_next_ = 0;
        burst_counter_ = 0;
        presented_ = 0;
        for (op_ = 0; !in.done() && presented_ < kMaxPresentations; ++op_) step(in);
        // Acceptances are checked against the shadow once, here, rather than
        // after each; every refusal is checked at once.
        if (!gate_->same_state(*shadow_)) fail("state differs from the shadow's", op_);
        check_ring();
    }

private:
    // An honest receipt from the gate for a fresh-looking action.
    Presented issue(const Nonce& nonce, std::uint64_t timestamp, std::uint64_t sequence_id, Bytes action_id,
                    const Payload& payload) {
        Presented p{std::move(action_id), payload, {}};
        const KestrelError e = gate_->issue_receipt(nonce, timestamp, sequence_id, p.action_id, payload, p.receipt);
        const KestrelError want =
            p.action_id.size() > kestrel::MAX_ACTION_ID_LEN ? KESTREL_ERROR_ACTION_ID_OVERFLOW : KESTREL_OK;
        if (e != want) fail("issue_receipt answered wrongly", op_, e, want);
        if (e != KESTREL_OK && p.receipt.to_wire() != Receipt{}.to_wire()) {
            fail("issue_receipt wrote a receipt while refusing", op_, e);
        }
        if (e == KESTREL_OK && p.receipt.tag != model_.tag(nonce, timestamp, sequence_id, p.action_id, payload)) {
            fail("issue_receipt made a wrong tag", op_);
        }
        return p;
    }

    static Bytes axis_id(std::uint8_t axis) {
        const kestrel::AxisActionId id = kestrel::axis_action_id(static_cast<std::int8_t>(axis));
        return Bytes(id.bytes().begin(), id.bytes().end());
    }

    void present(const Presented& p) {
        ++presented_;
        const KestrelError want = model_.expect(p.action_id, p.payload, p.receipt);
        const KestrelError got = gate_->check_and_accept(p.action_id, p.payload, p.receipt);
        if (got != want) fail("gate and model disagree", op_, got, want);
        if (got == KESTREL_OK) {
            const KestrelError s = shadow_->check_and_accept(p.action_id, p.payload, p.receipt);
            if (s != KESTREL_OK) fail("shadow refused what the gate accepted", op_, s);
            model_.accept(p.receipt);
            if (history_.size() < kHistory) {
                history_.push_back(p);
            } else {
                history_[history_next_] = p;
            }
            history_next_ = (history_next_ + 1) % kHistory;
        } else if (!gate_->same_state(*shadow_)) {
            fail("a refusal changed the state", op_, got);
        }
        const std::size_t n = model_.accepted().size();
        if (gate_->last_sequence_id() != model_.last() || gate_->nonce_count() != std::min(n, NONCE_WINDOW) ||
            gate_->next_slot() != n % NONCE_WINDOW) {
            fail("observers disagree with the model", op_, got);
        }
    }

    std::uint64_t fresh_sequence(std::uint8_t gap) const { return model_.last() + 1 + gap; }

    // Each operation reads its fields in the order written, one statement at
    // a time, so that a seed's layout does not depend on argument evaluation
    // order.
    void step(FuzzReader& in) {
        switch (in.byte() % 10) {
            case 0: {  // honest
                const std::uint8_t gap = in.byte();
                const Nonce nonce = in.array<12>();
                const std::uint64_t ts = in.value<std::uint64_t>();
                const std::uint8_t axis = in.byte();
                const Payload payload = in.array<16>();
                present(issue(nonce, ts, fresh_sequence(gap), axis_id(axis), payload));
                break;
            }
            case 1: {  // a burst of 1 to 16 honest receipts with distinct nonces
                const int count = 1 + in.byte() % 16;
                for (int i = 0; i < count && presented_ < kMaxPresentations; ++i) {
                    Nonce nonce{};
                    ++burst_counter_;
                    std::memcpy(nonce.data(), &burst_counter_, sizeof burst_counter_);
                    nonce[11] = 0xb5;
                    present(issue(nonce, burst_counter_, fresh_sequence(0), axis_id(3), Payload{}));
                }
                break;
            }
            case 2: {  // an accepted receipt again, exactly
                const std::uint8_t pick = in.byte();
                if (!history_.empty()) present(history_[pick % history_.size()]);
                break;
            }
            case 3: {  // an accepted nonce under a fresh sequence id, honestly tagged
                const std::size_t back = std::size_t{in.byte()} << 8 | in.byte();
                const std::uint8_t gap = in.byte();
                const std::uint8_t axis = in.byte();
                const auto& acc = model_.accepted();
                if (acc.empty()) break;
                const Nonce nonce = acc[acc.size() - 1 - back % acc.size()];
                present(issue(nonce, 7, fresh_sequence(gap), axis_id(axis), Payload{}));
                break;
            }
            case 4: {  // an honest receipt with one byte changed: in the receipt, the action id or the payload
                const std::uint8_t gap = in.byte();
                const Nonce nonce = in.array<12>();
                const std::uint8_t axis = in.byte();
                const std::uint8_t where = in.byte();
                const std::uint8_t pos = in.byte();
                const auto flip = static_cast<std::uint8_t>(in.byte() | 1);
                Presented p = issue(nonce, 11, fresh_sequence(gap), axis_id(axis), Payload{});
                if (where % 3 == 0) {
                    kestrel::ReceiptWire wire = p.receipt.to_wire();
                    wire[pos % wire.size()] ^= flip;
                    p.receipt = Receipt::from_wire(wire);
                } else if (where % 3 == 1) {
                    p.action_id[pos % p.action_id.size()] ^= flip;
                } else {
                    p.payload[pos % p.payload.size()] ^= flip;
                }
                present(p);
                break;
            }
            case 5: {  // made under a key that differs in one byte
                const std::uint8_t pos = in.byte();
                const auto flip = static_cast<std::uint8_t>(in.byte() | 1);
                const std::uint8_t gap = in.byte();
                const Nonce nonce = in.array<12>();
                Key other = key_;
                other[pos % other.size()] ^= flip;
                const ReplayGate forger(other);
                Presented p{axis_id(1), Payload{}, {}};
                if (forger.issue_receipt(nonce, 5, fresh_sequence(gap), p.action_id, p.payload, p.receipt) !=
                    KESTREL_OK) {
                    fail("forger could not issue", op_);
                }
                present(p);
                break;
            }
            case 6: {  // an action id of any length up to 95 bytes
                Bytes id(in.byte() % 96);
                in.fill(id.data(), id.size());
                const std::uint8_t gap = in.byte();
                const Nonce nonce = in.array<12>();
                const Tag tag = in.array<32>();
                const std::uint64_t seq = fresh_sequence(gap);
                Presented p = issue(nonce, 0, seq, id, Payload{});
                if (id.size() > kestrel::MAX_ACTION_ID_LEN) {
                    // issue_receipt refused (checked there) and left the
                    // receipt alone; present one for this action anyway.
                    p.receipt = Receipt{nonce, 0, seq, tag};
                }
                present(p);
                break;
            }
            case 7: {  // raw bytes: a receipt, an action id and a payload
                Presented p;
                p.receipt = Receipt::from_wire(in.array<KESTREL_RECEIPT_WIRE_LEN>());
                p.action_id.resize(in.byte() % 72);
                in.fill(p.action_id.data(), p.action_id.size());
                p.payload = in.array<16>();
                present(p);
                break;
            }
            case 8: {  // an honest receipt with any sequence id, up to 2^64 - 1
                const std::uint64_t seq = in.value<std::uint64_t>();
                const Nonce nonce = in.array<12>();
                present(issue(nonce, 3, seq, axis_id(4), Payload{}));
                break;
            }
            case 9:
                ring_program(in, op_);
                break;
        }
    }

    // Slot s holds the newest accepted nonce whose acceptance index is s
    // modulo the window; unused slots are zero.
    void check_ring() {
        const auto& acc = model_.accepted();
        for (std::size_t slot = 0; slot < NONCE_WINDOW; ++slot) {
            Nonce want{};
            if (slot < acc.size()) want = acc[slot + (acc.size() - 1 - slot) / NONCE_WINDOW * NONCE_WINDOW];
            if (!same_nonce(gate_->recent_nonce(slot), want)) fail("ring slot disagrees with the model", op_);
        }
    }

    Key key_;
    Model model_;
    std::optional<ReplayGate> gate_;
    std::optional<ReplayGate> shadow_;
    static constexpr std::size_t kHistory = 256;
    std::vector<Presented> history_;  // the last kHistory accepted presentations, a ring
    std::size_t history_next_ = 0;    // where the next one goes
    std::uint64_t burst_counter_ = 0;
    std::size_t op_ = 0;
    std::size_t presented_ = 0;  // receipts presented so far, at most kMaxPresentations
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness harness;
    FuzzReader in(data, size);
    harness.run(in);
    return 0;
}
