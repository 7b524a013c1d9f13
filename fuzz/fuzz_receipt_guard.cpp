// Fuzz target for the C receipt guard and verifier (kestrel_receipt.h).
//
// The input is a program of operations against one guard: honest receipts
// (signed by a replay gate under the guard's key for an action read from the
// input), bursts of them to wrap the nonce ring, earlier receipts again (as
// they were, or for another action, or with a byte changed), honest receipts
// reusing an accepted nonce, raw wire bytes, null and misaligned pointers,
// and wipe/init cycles. Beside the guard runs a model that knows the right
// answer without hashing: a receipt's tag is right exactly when the receipt
// was signed for that very action (HMAC is taken to be unforgeable), so the
// model needs only the set of signed (wire, axis, payload) triples, the last
// accepted sequence id and the accepted nonces in order. After every call the
// guard's answer and kestrel_receipt_verify's must equal the model's. Ops from
// 8 on present receipts as command frames, which must decode as encoded.
//
// An input presents at most kMaxPresentations receipts, so that one execution
// stays cheap; that is room for one burst about the size of the ring.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>
#include <vector>

#include "kestrel.h"
#include "receipts/replay_gate.hpp"
#include "receipts/hmac.hpp"

#include "fuzz_reader.hpp"

namespace {

using kestrel::Nonce;
using kestrel::Payload;
using kestrel::ReceiptWire;

// Bursts that fill the ring to just short of, exactly and just past its
// NONCE_WINDOW nonces, and one that wraps it by 64. They are few among the
// burst sizes, because each costs a thousand signatures and checks.
constexpr std::array<int, 4> kLongBursts = {kestrel::NONCE_WINDOW - 1, kestrel::NONCE_WINDOW, kestrel::NONCE_WINDOW + 1,
                                            kestrel::NONCE_WINDOW + 64};
constexpr std::size_t kMaxPresentations = kestrel::NONCE_WINDOW + 128;

using Header = std::array<std::uint8_t, 4>;  // a frame's version and reserved bytes
constexpr Header kIntact = {KESTREL_FRAME_VERSION, 0, 0, 0};

[[noreturn]] void fail(const char* what, std::size_t op, std::uint32_t got, std::uint32_t want) {
    std::fprintf(stderr, "op %zu: %s (got %u, want %u)\n", op, what, got, want);
    std::abort();
}

struct Action {
    std::int32_t axis;
    double position;
    double velocity;
};

// What the model remembers of a presentation: wire, axis and payload bits.
using Signed = std::array<std::uint8_t, 60 + 4 + 16>;

Signed signed_key(const ReceiptWire& wire, const Action& a) {
    Signed s;
    std::memcpy(s.data(), wire.data(), 60);
    std::memcpy(s.data() + 60, &a.axis, 4);
    std::memcpy(s.data() + 64, &a.position, 8);
    std::memcpy(s.data() + 72, &a.velocity, 8);
    return s;
}

// A map from fixed-size byte strings to indices, for at most Capacity keys
// per input: open addressing in fixed storage, emptied in constant time by a
// new generation. Keys are hashed and compared as whole words: std::array's
// == is a memcmp call, which the sanitizers intercept and record at many
// times the cost of the compare. Not coverage-traced: the model's look-ups
// never guide the search, and their probe lengths would only swell the
// corpus with inputs that differ in nothing the guard sees.
template <std::size_t N, std::size_t Capacity>
class FlatMap {
public:
    using Key = std::array<std::uint8_t, N>;

    __attribute__((no_sanitize("coverage"))) void clear() {
        size_ = 0;
        if (++generation_ == 0) {  // stamps of 2^32 inputs ago would look current
            stamp_.fill(0);
            generation_ = 1;
        }
    }
    __attribute__((no_sanitize("coverage"))) const std::size_t* find(const Key& k) const {
        const std::size_t i = slot(k);
        return stamp_[i] == generation_ ? &value_[i] : nullptr;
    }
    __attribute__((no_sanitize("coverage"))) void put(const Key& k, std::size_t v) {
        const std::size_t i = slot(k);
        if (stamp_[i] != generation_) {
            if (++size_ > Capacity) std::abort();  // the harness bounds the keys of one input
            stamp_[i] = generation_;
            key_[i] = k;
        }
        value_[i] = v;
    }

private:
    static constexpr std::size_t kSlots = std::bit_ceil(2 * Capacity);  // at most half full
    static_assert(N % 4 == 0);

    // The slot holding k, or the empty slot where it would go.
    __attribute__((no_sanitize("coverage"))) std::size_t slot(const Key& k) const {
        std::uint64_t h = 0;
        for (std::size_t j = 0; j < N; j += 4) {
            std::uint32_t w;
            std::memcpy(&w, k.data() + j, 4);
            h = (h ^ w) * 0x9e3779b97f4a7c15u;
        }
        for (std::size_t i = (h ^ h >> 32) & (kSlots - 1);; i = (i + 1) & (kSlots - 1)) {
            if (stamp_[i] != generation_ || same(key_[i], k)) return i;
        }
    }
    __attribute__((no_sanitize("coverage"))) static bool same(const Key& a, const Key& b) {
        std::uint32_t diff = 0;
        for (std::size_t j = 0; j < N; j += 4) {
            std::uint32_t x, y;
            std::memcpy(&x, a.data() + j, 4);
            std::memcpy(&y, b.data() + j, 4);
            diff |= x ^ y;
        }
        return diff == 0;
    }

    std::array<Key, kSlots> key_;
    std::array<std::size_t, kSlots> value_;
    std::array<std::uint32_t, kSlots> stamp_{};  // slot i is used iff stamp_[i] == generation_
    std::uint32_t generation_ = 1;
    std::size_t size_ = 0;
};

constexpr kestrel::Key kKey = {7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5, 2,
                               3, 5, 3, 6, 0, 2, 8, 7, 4, 7, 1, 3, 5, 2, 6, 6};

// What the model remembers of one input, in storage that serves every input.
struct Model {
    Model() { accepted.reserve(kMaxPresentations); }

    void accept(std::uint64_t sequence_id, const Nonce& nonce) {
        last = sequence_id;
        newest.put(nonce, accepted.size());
        accepted.push_back(nonce);
    }
    // Among the last NONCE_WINDOW accepted: one look-up of the newest
    // acceptance instead of a scan of the window.
    bool in_window(const Nonce& n) const {
        const std::size_t* k = newest.find(n);
        return k != nullptr && accepted.size() - *k <= kestrel::NONCE_WINDOW;
    }
    std::size_t window_size() const { return std::min(accepted.size(), kestrel::NONCE_WINDOW); }
    // Forgets the acceptances; signed receipts stay signed.
    void restart() {
        last = 0;
        accepted.clear();
        newest.clear();
    }

    FlatMap<std::tuple_size_v<Signed>, kMaxPresentations> signed_triples;  // every signed (wire, action); values unused
    std::vector<Nonce> accepted;                                           // every accepted nonce, oldest first
    FlatMap<kestrel::NONCE_LEN, kMaxPresentations> newest;                 // nonce -> index of its newest acceptance
    std::uint64_t last = 0;                                                // last accepted sequence id
};

class Harness {
public:
    Harness() : issuer_(kKey) {}

    // One harness serves every input of the process and starts each from
    // nothing: a fresh guard, an empty model and history.
    void run(FuzzReader& in) {
        history_size_ = 0;
        history_next_ = 0;
        burst_ = 0;
        presented_ = 0;
        op_ = 0;
        model_.signed_triples.clear();
        init();
        for (; !in.done() && presented_ < kMaxPresentations; ++op_) step(in);
    }

private:
    // A fresh guard and a model of it. Signed receipts stay signed.
    void init() {
        if (const std::uint32_t e = kestrel_receipt_guard_init(&guard_, kKey.data()); e != 0) fail("init", op_, e, 0);
        model_.restart();
    }

    // Signs the action, as a boundary would, with the action id spelled by printf.
    ReceiptWire sign(const Nonce& nonce, std::uint64_t seq, const Action& a) {
        char id[32];
        const int n = std::snprintf(id, sizeof id, "axis_%d", static_cast<int>(a.axis));
        Payload payload;
        std::memcpy(payload.data(), &a.position, 8);
        std::memcpy(payload.data() + 8, &a.velocity, 8);
        kestrel::Receipt r;
        if (issuer_.issue_receipt(nonce, seq * 3, seq, {reinterpret_cast<const std::uint8_t*>(id), std::size_t(n)},
                                  payload, r) != KESTREL_OK) {
            fail("issue", op_, 1, 0);
        }
        const ReceiptWire wire = r.to_wire();
        model_.signed_triples.put(signed_key(wire, a), 0);
        history_[history_next_] = {wire, a};
        history_next_ = (history_next_ + 1) % kHistory;
        history_size_ = std::min(history_size_ + 1, kHistory);
        return wire;
    }

    // The k-th newest signed receipt, k < history_size_.
    const std::pair<ReceiptWire, Action>& signed_back(std::size_t k) const {
        return history_[(history_next_ + kHistory - 1 - k) % kHistory];
    }

    std::uint32_t expected(const kestrel::Receipt& r, bool tag_right) const {
        if (r.sequence_id <= model_.last) return KESTREL_ERROR_REPLAY_COUNTER;
        if (model_.in_window(r.nonce)) return KESTREL_ERROR_REPLAY_NONCE;
        return tag_right ? 0 : KESTREL_ERROR_AUTHENTICATION_FAILURE;
    }

    // The guard's answer to (wire, a) as a frame with header_: the frame
    // decodes to what was encoded, and the action comes back exactly when the
    // guard accepts it (an axis of ~a.axis marks a record not written).
    std::uint32_t check_frame(const ReceiptWire& wire, const Action& a) {
        KestrelFrame sent{a.axis, a.position, a.velocity, {}}, out{~a.axis, 0.0, 0.0, {}};
        std::memcpy(sent.receipt, wire.data(), wire.size());
        std::array<std::uint8_t, KESTREL_FRAME_LEN> bytes;
        if (kestrel_frame_encode(&sent, bytes.data()) != 0) fail("encode", op_, 1, 0);
        std::memcpy(bytes.data(), header_.data(), header_.size());
        const auto same = [&] {  // bit for bit; position and velocity are adjacent
            return out.axis == sent.axis && std::memcmp(&out.position, &sent.position, 16) == 0 &&
                   std::memcmp(out.receipt, sent.receipt, sizeof sent.receipt) == 0;
        };
        const bool decoded = kestrel_frame_decode(bytes.data(), &out) == 0;
        if (decoded != (header_ == kIntact) || same() != decoded) fail("decode", op_, decoded, !decoded);
        out.axis = ~a.axis;
        const std::uint32_t got = kestrel_receipt_guard_check_frame(&guard_, bytes.data(), &out);
        if (same() != (got == 0)) fail("action written on refusal, or not on acceptance", op_, got, 0);
        return got;
    }

    void present(const ReceiptWire& wire, const Action& a) {
        ++presented_;
        const bool tag_right = model_.signed_triples.find(signed_key(wire, a)) != nullptr;
        const kestrel::Receipt r = kestrel::Receipt::from_wire(wire);
        const std::uint32_t want = frame_ && header_ != kIntact ? KESTREL_ERROR_INVALID_FRAME : expected(r, tag_right);
        const std::uint32_t got =
            frame_ ? check_frame(wire, a)
                   : kestrel_receipt_guard_check(&guard_, wire.data(), a.axis, a.position, a.velocity);
        if (got != want) fail("guard and model disagree", op_, got, want);
        const std::uint32_t verified = kestrel_receipt_verify(kKey.data(), wire.data(), a.axis, a.position, a.velocity);
        if (verified != (tag_right ? 0u : std::uint32_t{KESTREL_ERROR_AUTHENTICATION_FAILURE})) {
            fail("verify and model disagree", op_, verified, tag_right ? 0 : 6);
        }
        if (got == 0) model_.accept(r.sequence_id, r.nonce);
    }

    Action action(FuzzReader& in) {
        Action a;
        a.axis = in.value<std::int32_t>();
        a.position = in.value<double>();
        a.velocity = in.value<double>();
        return a;
    }

    void step(FuzzReader& in) {
        // Ops 0 to 7 present receipts directly, the rest as command frames:
        // from 224 on with the version or a reserved byte changed.
        const std::uint8_t op = in.byte();
        frame_ = op >= 8;
        header_ = kIntact;
        if (op >= 224) header_[op >> 3 & 3] ^= 1;
        switch (op % 8) {
            case 0: {  // honest, a fresh sequence id at some distance
                const std::uint64_t seq = model_.last + 1 + in.byte();
                const Nonce nonce = in.value<Nonce>();
                const Action a = action(in);
                present(sign(nonce, seq, a), a);
                break;
            }
            case 1: {  // a burst of honest receipts with distinct nonces: mostly 1 to 16, or about a ring's worth
                const std::uint8_t size = in.byte();
                constexpr std::size_t first_long = 256 - kLongBursts.size();
                const int count = size < first_long ? 1 + size % 16 : kLongBursts[size - first_long];
                for (int i = 0; i < count && presented_ < kMaxPresentations; ++i) {
                    Nonce nonce{};
                    ++burst_;
                    std::memcpy(nonce.data(), &burst_, sizeof burst_);
                    nonce[11] = 0xc3;
                    const Action a{3, 0.25, 1.5};
                    present(sign(nonce, model_.last + 1, a), a);
                }
                break;
            }
            case 2: {  // an earlier receipt again: as it was, for another action, or with a byte changed
                const std::uint8_t pick = in.byte();
                const std::uint8_t how = in.byte();
                const std::uint8_t pos = in.byte();
                const auto flip = static_cast<std::uint8_t>(in.byte() | 1);
                if (history_size_ == 0) break;
                auto [wire, a] = signed_back(pick % history_size_);
                if (how % 4 == 1) wire[pos % wire.size()] ^= flip;
                if (how % 4 == 2) a.axis ^= flip;
                if (how % 4 == 3) a.velocity = -a.velocity;
                present(wire, a);
                break;
            }
            case 3: {  // an accepted nonce, honestly signed under a fresh sequence id
                const std::size_t back = in.value<std::uint16_t>();
                const Action a = action(in);
                const std::size_t window = model_.window_size();
                if (window == 0) break;
                const Nonce nonce = model_.accepted[model_.accepted.size() - 1 - back % window];
                present(sign(nonce, model_.last + 1, a), a);
                break;
            }
            case 4: {  // raw bytes from the wire
                const ReceiptWire wire = in.value<ReceiptWire>();
                present(wire, action(in));
                break;
            }
            case 5: {  // null and misaligned pointers change nothing and crash nothing
                const ReceiptWire wire = in.value<ReceiptWire>();
                const std::size_t off = 1 + in.byte() % (KESTREL_RECEIPT_GUARD_ALIGN - 1);
                auto* odd = reinterpret_cast<KestrelReceiptGuard*>(misaligned_.data() + off);
                const KestrelError codes[] = {
                    kestrel_receipt_guard_check(&guard_, nullptr, 0, 0.0, 0.0),
                    kestrel_receipt_guard_check(nullptr, wire.data(), 0, 0.0, 0.0),
                    kestrel_receipt_guard_check(odd, wire.data(), 0, 0.0, 0.0),
                    kestrel_receipt_guard_init(odd, kKey.data()),
                    kestrel_receipt_guard_init(&guard_, nullptr),
                    kestrel_receipt_verify(nullptr, wire.data(), 0, 0.0, 0.0),
                    kestrel_receipt_verify(kKey.data(), nullptr, 0, 0.0, 0.0),
                    kestrel_receipt_guard_check_frame(odd, misaligned_.data(), nullptr),
                    kestrel_receipt_guard_set_max_age(odd, 1),
                    kestrel_frame_encode(nullptr, misaligned_.data()),
                    kestrel_frame_decode(misaligned_.data(), nullptr),
                };
                for (const KestrelError c : codes) {
                    if (c != KESTREL_ERROR_INVALID_POINTER) fail("bad pointer accepted", op_, c, 1);
                }
                break;
            }
            case 6: {  // wipe: refuses everything; init: starts over
                const ReceiptWire wire = in.value<ReceiptWire>();
                kestrel_receipt_guard_wipe(&guard_);
                const std::uint32_t c = kestrel_receipt_guard_check(&guard_, wire.data(), 0, 0.0, 0.0);
                if (c != KESTREL_ERROR_INVALID_POINTER) fail("wiped guard answered", op_, c, 1);
                init();
                break;
            }
            case 7: {  // init over a live guard starts over too
                init();
                break;
            }
        }
    }

    static constexpr std::size_t kHistory = 512;

    alignas(KESTREL_RECEIPT_GUARD_ALIGN) static inline KestrelReceiptGuard guard_;
    alignas(KESTREL_RECEIPT_GUARD_ALIGN) static inline std::array<
        std::uint8_t,
        sizeof(KestrelReceiptGuard) + KESTREL_RECEIPT_GUARD_ALIGN> misaligned_;  // aligned, so data() + 1..63 never is
    kestrel::ReplayGate issuer_;                                                 // signs the honest receipts under kKey
    Model model_;
    std::array<std::pair<ReceiptWire, Action>, kHistory> history_;  // the last kHistory signed, a ring
    std::size_t history_size_ = 0;
    std::size_t history_next_ = 0;  // where the next one goes
    std::uint64_t burst_ = 0;
    bool frame_ = false;       // this op presents command frames
    Header header_ = kIntact;  // and gives them this header
    std::size_t op_ = 0;
    std::size_t presented_ = 0;  // at most kMaxPresentations
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness harness;
    FuzzReader in(data, size);
    harness.run(in);
    return 0;
}
