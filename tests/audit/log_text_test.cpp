// The receipt log's readers of hex digits and of short decimals, whose fast
// paths must agree with the plain rule on every text.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "audit/log_line.hpp"
#include "audit/log_number.hpp"

namespace {

using kestrel::audit::NumberText;

// The plain rule: eight lowercase hex digits, two per byte.
bool plain_hex8(const std::string& text, std::array<std::uint8_t, 4>& out) {
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    for (std::size_t i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
    return true;
}

TEST(ReadHex8, AgreesWithThePlainRule) {
    // Each byte value in each of the eight places, among digits that read.
    const std::string base = "0123abcd";
    std::size_t accepted = 0;
    for (std::size_t place = 0; place < 8; ++place) {
        for (int byte = 0; byte < 256; ++byte) {
            std::string text = base;
            text[place] = static_cast<char>(byte);
            SCOPED_TRACE("byte " + std::to_string(byte) + " at " + std::to_string(place));
            std::array<std::uint8_t, 4> got{1, 2, 3, 4};
            std::array<std::uint8_t, 4> want{1, 2, 3, 4};
            const bool read = kestrel::audit::read_hex8(text.data(), got.data());
            ASSERT_EQ(read, plain_hex8(text, want));
            EXPECT_EQ(got, want);  // and untouched when refused
            accepted += read;
        }
    }
    EXPECT_EQ(accepted, 8u * 16u);
}

TEST(ReadShortFixed, TakesExactlyReprsShortFixedTexts) {
    const struct {
        const char* text;
        bool fast;  // read by the fast path
    } cases[] = {
        {"0.25", true},
        {"-0.25", true},
        {"1.0", true},
        {"-0.0", true},
        {"0.0", true},
        {"123.5", true},
        {"0.0001", true},
        {"0.00012", true},
        {"99999999999999.9", true},     // 15 digits
        {"999999999999999.0", false},   // M = 9999999999999990 is not below 10^15
        {"0.100000000000001", true},    // 15 significant digits after "0."
        {"0.1000000000000001", false},  // 16
        {"1e-05", false},
        {"0.00001", false},
        {"0.50", false},
        {"05.5", false},
        {"00.5", false},
        {".5", false},
        {"5.", false},
        {"5", false},
        {"+0.5", false},
        {"0.5.5", false},
        {"0x1.0", false},
        {"1.5e+16", false},
        {"", false},
        {"-", false},
        {"-.5", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        double fast = 7.0;
        ASSERT_EQ(kestrel::audit::read_short_fixed(c.text, fast), c.fast);
        if (!c.fast) {
            EXPECT_EQ(fast, 7.0);
            continue;
        }
        // What it reads is what the general reader reads, and what the writer writes back.
        double general = 0.0;
        const std::string text = c.text;
        std::from_chars(text.data(), text.data() + text.size(), general);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(fast), std::bit_cast<std::uint64_t>(general));
        char written[kestrel::audit::MAX_NUMBER_TEXT];
        EXPECT_EQ(std::string(written, kestrel::audit::format_number(fast, written)), text);
    }
}

}  // namespace
