// Fuzz target for BoundaryInterceptor.
//
// The input is a program of operations against one interceptor (the gate):
// honest receipts, bursts of them (to wrap the nonce ring), exact replays,
// reused nonces, receipts with one byte changed, receipts made under another
// key, long action ids, far sequence ids and receipts made of raw input
// bytes. Beside the gate run
//   - a reference model: the last accepted sequence id, every accepted nonce
//     in order (the last 1024 of them are remembered) and an HMAC-SHA-256
//     computed with libcrypto's own HMAC over the message layout, so that the
//     model knows the one right answer to every presented receipt;
//   - a shadow interceptor under the same key that is shown only the receipts
//     the gate accepted.
// After every presentation: the gate's answer equals the model's (so nothing
// is accepted whose tag was not made under the key for exactly that action,
// payload, nonce, timestamp and sequence id, nor with a sequence id at or
// below the last accepted one, nor with a remembered nonce); an acceptance is
// accepted by the shadow too; a refusal leaves the gate in the shadow's state
// (key, ring, next slot, count and last sequence id all unchanged); the
// observers agree with the model. At the end the gate is compared with the
// shadow once more and every ring slot with the model.
#include <openssl/evp.h>
#include <openssl/params.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kestrel/boundary.hpp"
#include "kestrel/crypto.hpp"

namespace {

using kestrel::BoundaryInterceptor;
using kestrel::Key;
using kestrel::Nonce;
using kestrel::NONCE_WINDOW;
using kestrel::Payload;
using kestrel::Receipt;
using kestrel::SecurityError;
using kestrel::Tag;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void fail(const char* what, std::size_t op, SecurityError got = SecurityError::Ok,
                       SecurityError want = SecurityError::Ok) {
    std::fprintf(stderr, "invariant broken at operation %zu: %s (got %u, want %u)\n", op, what,
                 static_cast<unsigned>(got), static_cast<unsigned>(want));
    std::abort();
}

// Reads the program; past its end every read yields zeros.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    void fill(std::uint8_t* out, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out[i] = byte();
    }
    std::uint64_t u64() {
        std::uint8_t b[8];
        fill(b, 8);
        std::uint64_t v;
        std::memcpy(&v, b, 8);
        return v;
    }
    template <std::size_t N>
    std::array<std::uint8_t, N> array() {
        std::array<std::uint8_t, N> a;
        fill(a.data(), N);
        return a;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

Key make_key() {
    Key k;
    for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return k;
}

// libcrypto's HMAC-SHA-256, set up once: a context per call would make
// allocation the main cost of every operation.
class ReferenceHmac {
public:
    ReferenceHmac() {
        mac_ = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
        ctx_ = mac_ != nullptr ? EVP_MAC_CTX_new(mac_) : nullptr;
        char digest[] = "SHA256";
        const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_construct_end()};
        if (ctx_ == nullptr || EVP_MAC_CTX_set_params(ctx_, params) != 1) die();
    }
    ~ReferenceHmac() {
        EVP_MAC_CTX_free(ctx_);
        EVP_MAC_free(mac_);
    }
    ReferenceHmac(const ReferenceHmac&) = delete;
    ReferenceHmac& operator=(const ReferenceHmac&) = delete;

    Tag operator()(const Key& key, const std::uint8_t* msg, std::size_t len) {
        Tag tag;
        std::size_t out_len = 0;
        if (EVP_MAC_init(ctx_, key.data(), key.size(), nullptr) != 1 || EVP_MAC_update(ctx_, msg, len) != 1 ||
            EVP_MAC_final(ctx_, tag.data(), &out_len, tag.size()) != 1 || out_len != tag.size()) {
            die();
        }
        return tag;
    }

private:
    [[noreturn]] static void die() {
        std::fprintf(stderr, "libcrypto HMAC failed\n");
        std::abort();
    }
    EVP_MAC* mac_ = nullptr;
    EVP_MAC_CTX* ctx_ = nullptr;
};

// The tag of an action under `key`, by libcrypto's HMAC over the message:
// nonce, timestamp, sequence id, action id length, action id, payload length,
// payload (integers u64 little-endian). The last answer is kept, since every
// honest receipt is checked twice (when issued and when presented).
Tag reference_tag(const Key& key, const Nonce& nonce, std::uint64_t timestamp, std::uint64_t sequence_id,
                  const Bytes& action_id, const Payload& payload) {
    static ReferenceHmac hmac;
    static std::array<std::uint8_t, 60 + 255> last_msg;
    static std::size_t last_len = 0;
    static Key last_key;
    static Tag last_tag;

    std::array<std::uint8_t, 60 + 255> msg;
    std::size_t len = 0;
    auto put = [&](const void* p, std::size_t n) {
        if (n != 0) std::memcpy(msg.data() + len, p, n);
        len += n;
    };
    auto put_le64 = [&](std::uint64_t v) {
        std::uint8_t b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<std::uint8_t>(v >> (8 * i));
        put(b, 8);
    };
    put(nonce.data(), nonce.size());
    put_le64(timestamp);
    put_le64(sequence_id);
    put_le64(action_id.size());
    put(action_id.data(), action_id.size());
    put_le64(payload.size());
    put(payload.data(), payload.size());

    if (len != last_len || key != last_key || std::memcmp(msg.data(), last_msg.data(), len) != 0) {
        last_tag = hmac(key, msg.data(), len);
        last_key = key;
        last_msg = msg;
        last_len = len;
    }
    return last_tag;
}

// What the gate must do, and what it must remember.
class Model {
public:
    explicit Model(const Key& key) : key_(key) {}

    SecurityError expect(const Bytes& action_id, const Payload& payload, const Receipt& r) const {
        if (r.sequence_id <= last_) return SecurityError::ReplayCounter;
        if (remembers(r.nonce)) return SecurityError::ReplayNonce;
        if (action_id.size() > kestrel::MAX_ACTION_ID_LEN) return SecurityError::ActionIdOverflow;
        if (r.tag != reference_tag(key_, r.nonce, r.timestamp_nanos, r.sequence_id, action_id, payload)) {
            return SecurityError::AuthenticationFailure;
        }
        return SecurityError::Ok;
    }

    void accept(const Receipt& r) {
        last_ = r.sequence_id;
        accepted_.push_back(r.nonce);
        ++window_[r.nonce];
        if (accepted_.size() > NONCE_WINDOW) {
            const Nonce& forgotten = accepted_[accepted_.size() - 1 - NONCE_WINDOW];
            if (--window_[forgotten] == 0) window_.erase(forgotten);
        }
    }

    bool remembers(const Nonce& n) const { return window_.count(n) != 0; }
    std::uint64_t last() const { return last_; }
    const std::vector<Nonce>& accepted() const { return accepted_; }

private:
    Key key_;
    std::uint64_t last_ = 0;
    std::vector<Nonce> accepted_;      // every accepted nonce, oldest first
    std::map<Nonce, int> window_;      // the last NONCE_WINDOW of them, with multiplicity
};

struct Presented {
    Bytes action_id;
    Payload payload;
    Receipt receipt;
};

class Harness {
public:
    Harness() : key_(make_key()), model_(key_) {
        gate_ = std::make_unique<BoundaryInterceptor>(key_);
        shadow_ = std::make_unique<BoundaryInterceptor>(key_);
    }

    void run(Reader& in) {
        for (op_ = 0; !in.done(); ++op_) step(in);
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
        const SecurityError e = gate_->issue_receipt(nonce, timestamp, sequence_id, p.action_id, payload, p.receipt);
        const SecurityError want = p.action_id.size() > kestrel::MAX_ACTION_ID_LEN ? SecurityError::ActionIdOverflow
                                                                                 : SecurityError::Ok;
        if (e != want) fail("issue_receipt answered wrongly", op_, e, want);
        if (e != SecurityError::Ok && p.receipt.to_wire() != Receipt{}.to_wire()) {
            fail("issue_receipt wrote a receipt while refusing", op_, e);
        }
        if (e == SecurityError::Ok &&
            p.receipt.tag != reference_tag(key_, nonce, timestamp, sequence_id, p.action_id, payload)) {
            fail("issue_receipt made a wrong tag", op_);
        }
        return p;
    }

    Bytes axis_id(std::uint8_t axis) {
        const std::string s = "axis_" + std::to_string(static_cast<int>(static_cast<std::int8_t>(axis)));
        return Bytes(s.begin(), s.end());
    }

    void present(const Presented& p) {
        const SecurityError want = model_.expect(p.action_id, p.payload, p.receipt);
        const SecurityError got = gate_->intercept_and_authorize(p.action_id, p.payload, p.receipt);
        if (got != want) fail("gate and model disagree", op_, got, want);
        if (got == SecurityError::Ok) {
            const SecurityError s = shadow_->intercept_and_authorize(p.action_id, p.payload, p.receipt);
            if (s != SecurityError::Ok) fail("shadow refused what the gate accepted", op_, s);
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
    void step(Reader& in) {
        switch (in.byte() % 9) {
            case 0: {  // honest
                const std::uint8_t gap = in.byte();
                const Nonce nonce = in.array<12>();
                const std::uint64_t ts = in.u64();
                const std::uint8_t axis = in.byte();
                const Payload payload = in.array<16>();
                present(issue(nonce, ts, fresh_sequence(gap), axis_id(axis), payload));
                break;
            }
            case 1: {  // a burst of honest receipts with distinct nonces: mostly short, or long enough to wrap the ring
                const std::uint8_t size = in.byte();
                const int count = size < 192 ? 1 + size % 16 : (size - 191) * 17;
                for (int i = 0; i < count; ++i) {
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
                const BoundaryInterceptor forger(other);
                Presented p{axis_id(1), Payload{}, {}};
                if (forger.issue_receipt(nonce, 5, fresh_sequence(gap), p.action_id, p.payload, p.receipt) !=
                    SecurityError::Ok) {
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
                p.receipt = Receipt::from_wire(in.array<kestrel::RECEIPT_WIRE_LEN>());
                p.action_id.resize(in.byte() % 72);
                in.fill(p.action_id.data(), p.action_id.size());
                p.payload = in.array<16>();
                present(p);
                break;
            }
            case 8: {  // an honest receipt with any sequence id, up to 2^64 - 1
                const std::uint64_t seq = in.u64();
                const Nonce nonce = in.array<12>();
                present(issue(nonce, 3, seq, axis_id(4), Payload{}));
                break;
            }
        }
    }

    // Slot s holds the newest accepted nonce whose acceptance index is s
    // modulo the window; unused slots are zero.
    void check_ring() {
        const auto& acc = model_.accepted();
        for (std::size_t slot = 0; slot < NONCE_WINDOW; ++slot) {
            Nonce want{};
            if (slot < acc.size()) want = acc[slot + (acc.size() - 1 - slot) / NONCE_WINDOW * NONCE_WINDOW];
            if (gate_->recent_nonce(slot) != want) fail("ring slot disagrees with the model", op_);
        }
    }

    Key key_;
    Model model_;
    std::unique_ptr<BoundaryInterceptor> gate_;
    std::unique_ptr<BoundaryInterceptor> shadow_;
    static constexpr std::size_t kHistory = 256;
    std::vector<Presented> history_;  // the last kHistory accepted presentations, a ring
    std::size_t history_next_ = 0;    // where the next one goes
    std::uint64_t burst_counter_ = 0;
    std::size_t op_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Harness harness;
    harness.run(in);
    return 0;
}
