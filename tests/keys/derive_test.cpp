// Link keys: libcrypto's HKDF as this library calls it, against RFC 5869's
// own known answer. (The link-key formula around it is checked from Python
// against an HKDF written from the RFC with the hmac module.)
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "keys/derive.hpp"

namespace kestrel {
namespace {

std::vector<std::uint8_t> run(std::size_t first, std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

TEST(Hkdf, Rfc5869TestCase1) {
    const std::vector<std::uint8_t> ikm(22, 0x0b);
    std::array<std::uint8_t, 42> okm{};
    ASSERT_TRUE(hkdf_sha256(run(0x00, 13), ikm, run(0xf0, 10), okm));
    const std::array<std::uint8_t, 42> expected = {0x3c, 0xb2, 0x5f, 0x25, 0xfa, 0xac, 0xd5, 0x7a, 0x90, 0x43, 0x4f,
                                                   0x64, 0xd0, 0x36, 0x2f, 0x2a, 0x2d, 0x2d, 0x0a, 0x90, 0xcf, 0x1a,
                                                   0x5a, 0x4c, 0x5d, 0xb0, 0x2d, 0x56, 0xec, 0xc4, 0xc5, 0xbf, 0x34,
                                                   0x00, 0x72, 0x08, 0xd5, 0xb8, 0x87, 0x18, 0x58, 0x65};
    EXPECT_EQ(okm, expected);
}

}  // namespace
}  // namespace kestrel
