#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "receipts/constant_time.hpp"
#include "receipts/hmac.hpp"
#include "security_testing.hpp"

namespace {

using kestrel::Key;
using kestrel::Nonce;
using kestrel::Payload;
using kestrel::Receipt;
using kestrel::ReceiptWire;
using kestrel::Tag;
using kestrel::testing::Bytes;
using kestrel::testing::bytes_of;

Bytes from_hex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> array_from_hex(std::string_view hex) {
    const Bytes b = from_hex(hex);
    std::array<std::uint8_t, N> out{};
    EXPECT_EQ(b.size(), N);
    std::memcpy(out.data(), b.data(), std::min(N, b.size()));
    return out;
}

template <typename Container>
std::string to_hex(const Container& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    for (std::uint8_t b : bytes) {
        s += kDigits[b >> 4];
        s += kDigits[b & 15];
    }
    return s;
}

// One action: everything the tag covers, plus the key.
struct Action {
    Key key{};
    Nonce nonce{};
    std::uint64_t timestamp_nanos = 0;
    std::uint64_t sequence_id = 0;
    Bytes action_id;
    Payload payload{};
};

Tag reference_tag(const Action& a) {
    return kestrel::testing::reference_tag(a.key, a.nonce, a.timestamp_nanos, a.sequence_id, a.action_id, a.payload);
}

Receipt authorize_ok(const Action& a) {
    Receipt r;
    EXPECT_EQ(kestrel::sign_receipt(a.key, a.nonce, a.timestamp_nanos, a.sequence_id, a.action_id, a.payload, r),
              KESTREL_OK);
    return r;
}

class Random {
public:
    explicit Random(std::uint64_t seed) : engine_(seed) {}
    template <std::size_t N>
    std::array<std::uint8_t, N> array() {
        std::array<std::uint8_t, N> a;
        for (auto& b : a) b = byte();
        return a;
    }
    Bytes bytes(std::size_t n) {
        Bytes b(n);
        for (auto& x : b) x = byte();
        return b;
    }
    std::uint64_t u64() { return engine_(); }
    Action action(std::size_t action_id_len) {
        return Action{array<32>(), array<12>(), u64(), u64(), bytes(action_id_len), array<16>()};
    }

private:
    std::uint8_t byte() { return static_cast<std::uint8_t>(engine_()); }
    std::mt19937_64 engine_;
};

// ---------------------------------------------------------------- known answers

struct KnownAnswer {
    const char* name;
    const char* key;
    const char* nonce;
    std::uint64_t timestamp_nanos;
    std::uint64_t sequence_id;
    const char* action_id;  // hex
    const char* payload;
    const char* wire;  // expected 60-byte wire form, tag included
};

// Tags from an independent HMAC-SHA-256 over the message laid out by hand.
const KnownAnswer kKnownAnswers[] = {
    {"axis_3, position 0.25, velocity 1.5", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "a0a1a2a3a4a5a6a7a8a9aaab", 1700000000123456789u, 1, "617869735f33", "000000000000d03f000000000000f83f",
     "a0a1a2a3a4a5a6a7a8a9aaab15cd853dfe9c97170100000000000000"
     "281969413a2c04e18206bb6dfd357042947f848a651f1e882bad6d46f69b7088"},
    {"empty action id, extreme integers", "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff",
     "000000000000000000000000", 0, UINT64_MAX, "", "00000000000000000000000000000000",
     "0000000000000000000000000000000000000000ffffffffffffffff"
     "a96d247da4265bc76cf24dd34bc71bdda1887c9f7a314dc70de81324b07a4659"},
    {"64-byte action id", "6465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f80818283",
     "000102030405060708090a0b", 42, 7,
     "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
     "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f",
     "101112131415161718191a1b1c1d1e1f",
     "000102030405060708090a0b2a000000000000000700000000000000"
     "55f98330509aa07bb892d90b0c15816ffcd60cfba66cfd2c8912315520e1acfb"},
};

TEST(CryptoKnownAnswers, TagAndWireForm) {
    for (const KnownAnswer& k : kKnownAnswers) {
        SCOPED_TRACE(k.name);
        const Action a{array_from_hex<32>(k.key), array_from_hex<12>(k.nonce),  k.timestamp_nanos, k.sequence_id,
                       from_hex(k.action_id),     array_from_hex<16>(k.payload)};
        const Receipt r = authorize_ok(a);
        EXPECT_EQ(to_hex(r.to_wire()), k.wire);
        EXPECT_EQ(r.nonce, a.nonce);
        EXPECT_EQ(r.timestamp_nanos, a.timestamp_nanos);
        EXPECT_EQ(r.sequence_id, a.sequence_id);

        const Receipt back = Receipt::from_wire(array_from_hex<60>(k.wire));
        EXPECT_EQ(back.nonce, r.nonce);
        EXPECT_EQ(back.timestamp_nanos, r.timestamp_nanos);
        EXPECT_EQ(back.sequence_id, r.sequence_id);
        EXPECT_EQ(back.tag, r.tag);
    }
}

TEST(CryptoKnownAnswers, ActionIdOver64BytesIsRefused) {
    Random rng(7);
    for (std::size_t len : {65u, 66u, 128u, 4096u}) {
        SCOPED_TRACE("action id length " + std::to_string(len));
        const Action a = rng.action(len);
        Receipt out;
        out.nonce.fill(0xee);
        out.tag.fill(0xdd);
        out.timestamp_nanos = out.sequence_id = 0x1234;
        const ReceiptWire before = out.to_wire();
        EXPECT_EQ(kestrel::sign_receipt(a.key, a.nonce, a.timestamp_nanos, a.sequence_id, a.action_id, a.payload, out),
                  KESTREL_ERROR_ACTION_ID_OVERFLOW);
        EXPECT_EQ(out.to_wire(), before);

        const kestrel::HmacKeyState primed(a.key);
        kestrel::MessageHasher hasher;
        EXPECT_EQ(kestrel::MessageHasher::begin(primed, a.nonce, a.timestamp_nanos, a.sequence_id, a.action_id, hasher),
                  KESTREL_ERROR_ACTION_ID_OVERFLOW);
    }
}

// ---------------------------------------------------------------- self-consistency

// The tag is standard HMAC-SHA-256 over the laid-out message, for every
// action id length that is allowed and whether the payload arrives in one
// update or in pieces.
TEST(CryptoAgreesWithOpenSsl, EveryActionIdLengthManyKeys) {
    Random rng(20240601);
    for (std::size_t len = 0; len <= kestrel::MAX_ACTION_ID_LEN; ++len) {
        for (int trial = 0; trial < 8; ++trial) {
            SCOPED_TRACE("action id length " + std::to_string(len) + ", trial " + std::to_string(trial));
            const Action a = rng.action(len);
            const Tag expected = reference_tag(a);
            EXPECT_EQ(authorize_ok(a).tag, expected);

            const std::size_t split = static_cast<std::size_t>(trial) * 2;  // 0..14
            const kestrel::HmacKeyState primed(a.key);
            kestrel::MessageHasher hasher;
            ASSERT_EQ(
                kestrel::MessageHasher::begin(primed, a.nonce, a.timestamp_nanos, a.sequence_id, a.action_id, hasher),
                KESTREL_OK);
            hasher.update(std::span(a.payload).first(split));
            hasher.update(std::span(a.payload).subspan(split));
            EXPECT_EQ(hasher.finalize(), expected);

            Receipt one_shot;
            ASSERT_EQ(kestrel::sign_receipt(primed, a.nonce, a.timestamp_nanos, a.sequence_id, a.action_id, a.payload,
                                            one_shot),
                      KESTREL_OK);
            EXPECT_EQ(one_shot.tag, expected);
        }
    }
}

// HMAC of any message under a primed key, as the receipt log's seals use it:
// libcrypto's for every length across the first blocks.
TEST(CryptoAgreesWithOpenSsl, HmacOfAnyMessageLength) {
    Random rng(20240602);
    for (std::size_t len = 0; len <= 3 * kestrel::sha256::BLOCK_LEN; ++len) {
        SCOPED_TRACE("message length " + std::to_string(len));
        const Action a = rng.action(0);
        const Bytes message = rng.bytes(len);
        EXPECT_EQ(kestrel::hmac_sha256(kestrel::HmacKeyState(a.key), message),
                  kestrel::testing::reference_hmac(a.key, message));
    }
}

// Flipping any one bit of any field, or changing the action id's length,
// gives a tag unlike the original and unlike every other variant.
TEST(CryptoSelfConsistency, EveryFieldChangeChangesTheTag) {
    Action base{};
    base.key.octets = Random(3).array<32>();
    base.nonce = Random(4).array<12>();
    base.timestamp_nanos = 1700000000123456789u;
    base.sequence_id = 41;
    base.action_id = bytes_of("axis_1");
    base.payload = Random(5).array<16>();

    std::vector<std::pair<std::string, Action>> variants;
    auto add_bit_flips = [&](const std::string& field, std::size_t bits, auto&& flip) {
        for (std::size_t bit = 0; bit < bits; ++bit) {
            Action v = base;
            flip(v, bit);
            variants.emplace_back(field + " bit " + std::to_string(bit), v);
        }
    };
    add_bit_flips("key", 256, [](Action& v, std::size_t b) { v.key[b / 8] ^= std::uint8_t(1u << (b % 8)); });
    add_bit_flips("nonce", 96, [](Action& v, std::size_t b) { v.nonce[b / 8] ^= std::uint8_t(1u << (b % 8)); });
    add_bit_flips("timestamp", 64, [](Action& v, std::size_t b) { v.timestamp_nanos ^= std::uint64_t{1} << b; });
    add_bit_flips("sequence id", 64, [](Action& v, std::size_t b) { v.sequence_id ^= std::uint64_t{1} << b; });
    add_bit_flips("action id", 48, [](Action& v, std::size_t b) { v.action_id[b / 8] ^= std::uint8_t(1u << (b % 8)); });
    add_bit_flips("payload", 128, [](Action& v, std::size_t b) { v.payload[b / 8] ^= std::uint8_t(1u << (b % 8)); });
    // One action id a prefix of the other: the length field tells them apart.
    for (const char* id : {"axis_12", "axis_", ""}) {
        Action v = base;
        v.action_id = bytes_of(id);
        variants.emplace_back(std::string("action id \"") + id + "\"", v);
    }
    {
        Action v = base;
        v.action_id.push_back(0);  // "axis_1" followed by a zero byte
        variants.emplace_back("action id \"axis_1\\0\"", v);
    }

    const Tag base_tag = authorize_ok(base).tag;
    std::set<Tag> seen{base_tag};
    for (const auto& [name, v] : variants) {
        SCOPED_TRACE(name);
        const Tag tag = authorize_ok(v).tag;
        EXPECT_NE(tag, base_tag);
        EXPECT_TRUE(seen.insert(tag).second) << "tag collides with another variant";
    }
    EXPECT_EQ(seen.size(), variants.size() + 1);
}

TEST(CryptoSelfConsistency, OutputMayAliasTheNonce) {
    Random rng(11);
    const Action a = rng.action(6);
    const Receipt expected = authorize_ok(a);
    Receipt r;
    r.nonce = a.nonce;
    ASSERT_EQ(kestrel::sign_receipt(a.key, r.nonce, a.timestamp_nanos, a.sequence_id, a.action_id, a.payload, r),
              KESTREL_OK);
    EXPECT_EQ(r.to_wire(), expected.to_wire());
}

// ---------------------------------------------------------------- constant-time equality

// Any single bit at any position, first and last included, is noticed.
TEST(ConstantTimeEqual, EqualOnlyWithoutASingleBitOfDifference) {
    Random rng(14);
    const Tag a = rng.array<std::tuple_size_v<Tag>>();
    EXPECT_TRUE(kestrel::constant_time_equal(a, Tag(a)));
    EXPECT_TRUE(kestrel::constant_time_equal(Tag{}, Tag{}));
    for (std::size_t i = 0; i < a.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            SCOPED_TRACE("byte " + std::to_string(i) + " bit " + std::to_string(bit));
            Tag b = a;
            b[i] ^= static_cast<std::uint8_t>(1u << bit);
            EXPECT_FALSE(kestrel::constant_time_equal(a, b));
            EXPECT_FALSE(kestrel::constant_time_equal(b, a));
        }
    }
}

}  // namespace
