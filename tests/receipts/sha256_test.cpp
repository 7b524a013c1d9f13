// The SHA-256 compression behind the receipts' HMAC, whichever backend this
// build has, against the known answers of FIPS 180-4: one block, two blocks
// and many. (Built over the portable backend, CryptoAgreesWithOpenSsl then
// compares it with libcrypto on random keys and messages.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "receipts/sha256.hpp"

namespace {

namespace sha256 = kestrel::sha256;

// The digest of a whole message, padded here as FIPS 180-4, 5.1.1 says.
std::string hex_digest(const std::string& message) {
    std::string padded = message + '\x80';
    while (padded.size() % sha256::BLOCK_LEN != sha256::BLOCK_LEN - 8) padded += '\0';
    const std::uint64_t bits = std::uint64_t{message.size()} * 8;
    for (int i = 7; i >= 0; --i) padded += static_cast<char>(bits >> (8 * i));
    sha256::ChainingValue chain = sha256::INITIAL;
    for (std::size_t at = 0; at < padded.size(); at += sha256::BLOCK_LEN) {
        sha256::compress(chain, reinterpret_cast<const std::uint8_t*>(padded.data() + at));
    }
    char hex[65];
    for (std::size_t i = 0; i < 8; ++i) std::snprintf(hex + 8 * i, 9, "%08x", chain.h[i]);
    return hex;
}

TEST(Sha256, KnownAnswers) {
    const struct {
        std::string message;
        const char* digest;
    } known[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& k : known) {
        EXPECT_EQ(hex_digest(k.message), k.digest) << k.message.size() << " bytes";
        // The running hash, fed in pieces that cross block boundaries every way.
        for (const std::size_t piece :
             {std::size_t{1}, std::size_t{55}, std::size_t{64}, std::size_t{65}, std::size_t{4096}}) {
            sha256::Running running;
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(k.message.data());
            for (std::size_t at = 0; at < k.message.size(); at += piece) {
                running.update(bytes + at, std::min(piece, k.message.size() - at));
            }
            const sha256::Digest digest = running.digest();
            char hex[65];
            for (std::size_t i = 0; i < digest.size(); ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
            EXPECT_EQ(std::string(hex), k.digest) << k.message.size() << " bytes in pieces of " << piece;
        }
    }
}

}  // namespace
