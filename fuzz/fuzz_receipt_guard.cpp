// Fuzz target for the C receipt guard and verifier (kestrel_receipt.h).
//
// The input is a program of operations against one guard: honest receipts
// (signed by an interceptor under the guard's key for an action read from the
// input), bursts of them to wrap the nonce ring, earlier receipts again (as
// they were, or for another action, or with a byte changed), honest receipts
// reusing an accepted nonce, raw wire bytes, null and misaligned pointers,
// and wipe/init cycles. Beside the guard runs a model that knows the right
// answer without hashing: a receipt's tag is right exactly when the receipt
// was signed for that very action (HMAC is taken to be unforgeable), so the
// model needs only the set of signed (wire, axis, payload) triples, the last
// accepted sequence id and the last 1024 accepted nonces. After every call
// the guard's answer and kestrel_receipt_verify's must equal the model's.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "kestrel.h"
#include "kestrel/boundary.hpp"
#include "kestrel/crypto.hpp"

#include "fuzz_reader.hpp"

namespace {

using kestrel::Nonce;
using kestrel::Payload;
using kestrel::ReceiptWire;

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

constexpr kestrel::Key kKey = {7, 1, 8, 2, 8, 1, 8, 2, 8, 4, 5, 9, 0, 4, 5, 2,
                               3, 5, 3, 6, 0, 2, 8, 7, 4, 7, 1, 3, 5, 2, 6, 6};

class Harness {
public:
    Harness() : issuer_(kKey) { init(); }
    ~Harness() { kestrel_receipt_guard_wipe(&guard_); }

    void run(FuzzReader& in) {
        for (op_ = 0; !in.done(); ++op_) step(in);
    }

private:
    void init() {
        if (const std::uint32_t e = kestrel_receipt_guard_init(&guard_, kKey.data()); e != 0) fail("init", op_, e, 0);
        last_ = 0;
        window_.clear();
        counts_.clear();
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
                                  payload, r) != kestrel::SecurityError::Ok) {
            fail("issue", op_, 1, 0);
        }
        const ReceiptWire wire = r.to_wire();
        signed_.insert(signed_key(wire, a));
        history_.push_back({wire, a});
        if (history_.size() > 512) history_.pop_front();
        return wire;
    }

    std::uint32_t expected(const kestrel::Receipt& r, bool tag_right) const {
        if (r.sequence_id <= last_) return KESTREL_SECURITY_REPLAY_COUNTER;
        if (counts_.count(r.nonce) != 0) return KESTREL_SECURITY_REPLAY_NONCE;
        return tag_right ? 0 : KESTREL_SECURITY_AUTHENTICATION_FAILURE;
    }

    void present(const ReceiptWire& wire, const Action& a) {
        const bool tag_right = signed_.count(signed_key(wire, a)) != 0;
        const kestrel::Receipt r = kestrel::Receipt::from_wire(wire);
        const std::uint32_t want = expected(r, tag_right);
        const std::uint32_t got = kestrel_receipt_guard_check(&guard_, wire.data(), a.axis, a.position, a.velocity);
        if (got != want) fail("guard and model disagree", op_, got, want);
        const std::uint32_t verified = kestrel_receipt_verify(kKey.data(), wire.data(), a.axis, a.position, a.velocity);
        if (verified != (tag_right ? 0u : std::uint32_t{KESTREL_SECURITY_AUTHENTICATION_FAILURE})) {
            fail("verify and model disagree", op_, verified, tag_right ? 0 : 6);
        }
        if (got == 0) {
            last_ = r.sequence_id;
            window_.push_back(r.nonce);
            ++counts_[r.nonce];
            if (window_.size() > kestrel::NONCE_WINDOW) {
                if (--counts_[window_.front()] == 0) counts_.erase(window_.front());
                window_.pop_front();
            }
        }
    }

    Action action(FuzzReader& in) {
        Action a;
        a.axis = in.value<std::int32_t>();
        a.position = in.value<double>();
        a.velocity = in.value<double>();
        return a;
    }

    void step(FuzzReader& in) {
        switch (in.byte() % 8) {
            case 0: {  // honest, a fresh sequence id at some distance
                const std::uint64_t seq = last_ + 1 + in.byte();
                const Nonce nonce = in.value<Nonce>();
                const Action a = action(in);
                present(sign(nonce, seq, a), a);
                break;
            }
            case 1: {  // a burst of honest receipts with distinct nonces: mostly short, or long enough to wrap the ring
                const std::uint8_t size = in.byte();
                const int count = size < 192 ? 1 + size % 16 : (size - 191) * 17;
                for (int i = 0; i < count; ++i) {
                    Nonce nonce{};
                    ++burst_;
                    std::memcpy(nonce.data(), &burst_, sizeof burst_);
                    nonce[11] = 0xc3;
                    const Action a{3, 0.25, 1.5};
                    present(sign(nonce, last_ + 1, a), a);
                }
                break;
            }
            case 2: {  // an earlier receipt again: as it was, for another action, or with a byte changed
                const std::uint8_t pick = in.byte();
                const std::uint8_t how = in.byte();
                const std::uint8_t pos = in.byte();
                const auto flip = static_cast<std::uint8_t>(in.byte() | 1);
                if (history_.empty()) break;
                auto [wire, a] = history_[history_.size() - 1 - pick % history_.size()];
                if (how % 4 == 1) wire[pos % wire.size()] ^= flip;
                if (how % 4 == 2) a.axis ^= flip;
                if (how % 4 == 3) a.velocity = -a.velocity;
                present(wire, a);
                break;
            }
            case 3: {  // an accepted nonce, honestly signed under a fresh sequence id
                const std::size_t back = in.value<std::uint16_t>();
                const Action a = action(in);
                if (window_.empty()) break;
                const Nonce nonce = window_[window_.size() - 1 - back % window_.size()];
                present(sign(nonce, last_ + 1, a), a);
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
                const std::uint32_t codes[] = {
                    kestrel_receipt_guard_check(&guard_, nullptr, 0, 0.0, 0.0),
                    kestrel_receipt_guard_check(nullptr, wire.data(), 0, 0.0, 0.0),
                    kestrel_receipt_guard_check(odd, wire.data(), 0, 0.0, 0.0),
                    kestrel_receipt_guard_init(odd, kKey.data()),
                    kestrel_receipt_guard_init(&guard_, nullptr),
                    kestrel_receipt_verify(nullptr, wire.data(), 0, 0.0, 0.0),
                    kestrel_receipt_verify(kKey.data(), nullptr, 0, 0.0, 0.0),
                };
                for (const std::uint32_t c : codes) {
                    if (c != KESTREL_SECURITY_INVALID_POINTER) fail("bad pointer accepted", op_, c, 1);
                }
                break;
            }
            case 6: {  // wipe: refuses everything; init: starts over
                const ReceiptWire wire = in.value<ReceiptWire>();
                kestrel_receipt_guard_wipe(&guard_);
                const std::uint32_t c = kestrel_receipt_guard_check(&guard_, wire.data(), 0, 0.0, 0.0);
                if (c != KESTREL_SECURITY_INVALID_POINTER) fail("wiped guard answered", op_, c, 1);
                init();
                break;
            }
            case 7: {  // init over a live guard starts over too
                init();
                break;
            }
        }
    }

    alignas(KESTREL_RECEIPT_GUARD_ALIGN) static inline KestrelReceiptGuard guard_;
    alignas(KESTREL_RECEIPT_GUARD_ALIGN) static inline std::array<std::uint8_t, sizeof(KestrelReceiptGuard) + KESTREL_RECEIPT_GUARD_ALIGN>
        misaligned_;  // aligned, so data() + 1..63 never is
    kestrel::BoundaryInterceptor issuer_;              // signs the honest receipts under kKey
    std::set<Signed> signed_;                          // every signed (wire, action)
    std::deque<std::pair<ReceiptWire, Action>> history_;  // the last 512 signed, for replays
    std::deque<Nonce> window_;                         // the last 1024 accepted nonces, oldest first
    std::map<Nonce, int> counts_;                      // the same nonces, with multiplicity
    std::uint64_t last_ = 0;                           // last accepted sequence id
    std::uint64_t burst_ = 0;
    std::size_t op_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzReader in(data, size);
    Harness harness;
    harness.run(in);
    return 0;
}
