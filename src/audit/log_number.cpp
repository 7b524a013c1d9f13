#include "audit/log_number.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "text/shortest_digits.hpp"

namespace kestrel::audit {

namespace {

constexpr char kHex[] = "0123456789abcdef";

std::size_t append(char* out, std::size_t at, std::string_view text) noexcept {
    std::memcpy(out + at, text.data(), text.size());
    return at + text.size();
}

// Python's repr of a finite double: the shortest round-trip digits, in fixed
// notation while the decimal exponent lies in -5 < e < 16, else in exponent
// notation with a signed exponent of at least two digits.
std::size_t format_finite(double x, char* out) noexcept {
    const text::ShortestDigits split = text::shortest_digits(x);
    std::size_t at = 0;
    if (split.negative) out[at++] = '-';
    const std::string_view all(split.digits, split.count);
    const std::size_t count = split.count;
    const int point = split.exponent + 1;  // digits[0..point) come before the decimal point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            at = append(out, at, "0.");
            for (int i = point; i < 0; ++i) out[at++] = '0';
            return append(out, at, all);
        }
        const auto whole = static_cast<std::size_t>(point);
        if (whole >= count) {
            at = append(out, at, all);
            for (std::size_t i = count; i < whole; ++i) out[at++] = '0';
            return append(out, at, ".0");
        }
        at = append(out, at, all.substr(0, whole));
        out[at++] = '.';
        return append(out, at, all.substr(whole));
    }
    out[at++] = all[0];
    if (count > 1) {
        out[at++] = '.';
        at = append(out, at, all.substr(1));
    }
    out[at++] = 'e';
    out[at++] = split.exponent < 0 ? '-' : '+';
    const int magnitude = split.exponent < 0 ? -split.exponent : split.exponent;
    if (magnitude < 10) out[at++] = '0';
    const auto tail = std::to_chars(out + at, out + MAX_NUMBER_TEXT, magnitude);
    return static_cast<std::size_t>(tail.ptr - out);
}

}  // namespace

// Why read_short_fixed's answer is exact:
//   - the digits form an integer M < 10^15 < 2^53 and the point divides it
//     by 10^k with k <= 18, both exact doubles, so one IEEE division gives
//     the correctly rounded value, as the general reader would;
//   - distinct decimals of at most 15 significant digits round to distinct
//     doubles, so no other decimal that short, the shortest one included,
//     reads back as this double: the text is its shortest form, and the
//     checks below are the rest of repr's spelling in fixed notation.
bool read_short_fixed(std::string_view text, double& x) noexcept {
    static constexpr std::uint64_t kTens[] = {1,
                                              10,
                                              100,
                                              1000,
                                              10000,
                                              100000,
                                              1000000,
                                              10000000,
                                              100000000,
                                              1000000000,
                                              10000000000,
                                              100000000000,
                                              1000000000000,
                                              10000000000000,
                                              100000000000000,
                                              1000000000000000};
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8, 1e9,
                                        1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};
    const bool negative = text.starts_with('-');
    const char* const first = text.data() + (negative ? 1 : 0);
    const char* const end = text.data() + text.size();
    // M < 10^15 has at most 15 digits after "0." and up to three zeros, or
    // 15 digits and the point: longer texts (most doubles of full precision)
    // leave here, and M cannot wrap.
    const char* significant = first;
    if (end - first > 2 && first[0] == '0' && first[1] == '.') {
        significant += 2;
        while (significant != end && *significant == '0' && significant - first < 5) ++significant;
    }
    if (end - significant > (significant == first ? 16 : 15)) return false;
    std::uint64_t m = 0;
    const char* point = nullptr;
    for (const char* p = first; p != end; ++p) {
        const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(*p)) - '0';
        if (digit < 10) {
            m = m * 10 + digit;
        } else if (*p == '.' && point == nullptr) {
            point = p;
        } else {
            return false;
        }
    }
    if (point == nullptr || point == first || point == end - 1) return false;  // "I.F", both present
    if (point - first > 1 && *first == '0') return false;                      // "05.5"
    const auto k = static_cast<std::size_t>(end - point - 1);
    if (k > 1 && end[-1] == '0') return false;  // "0.50"; but "5.0"
    if (m >= kTens[15]) return false;
    if (m != 0 && k >= 4 && m < kTens[k - 4]) return false;  // below 1e-4
    const double magnitude = static_cast<double>(m) / kPow10[k];
    x = negative ? -magnitude : magnitude;
    return true;
}

std::size_t format_number(double x, char* out) noexcept {
    if (std::isfinite(x)) return format_finite(x, out);
    if (std::isinf(x)) return append(out, 0, x > 0 ? "\"inf\"" : "\"-inf\"");
    std::size_t at = append(out, 0, "\"nan:");
    const auto bits = std::bit_cast<std::uint64_t>(x);
    for (int shift = 60; shift >= 0; shift -= 4) out[at++] = kHex[(bits >> shift) & 0xF];
    out[at++] = '"';
    return at;
}

NumberText parse_number(std::string_view text, double& x) noexcept {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    if (text == "Infinity" || text == "\"inf\"") {
        x = kInf;
        return NumberText::Exact;
    }
    if (text == "-Infinity" || text == "\"-inf\"") {
        x = -kInf;
        return NumberText::Exact;
    }
    if (text == "NaN") {
        x = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
        return NumberText::BareNaN;
    }
    if (text.size() == 22 && text.starts_with("\"nan:") && text.back() == '"') {
        std::uint64_t bits = 0;
        for (char c : text.substr(5, 16)) {
            const char* digit = std::strchr(kHex, c);
            if (c == '\0' || digit == nullptr) return NumberText::Wrong;
            bits = bits << 4 | static_cast<std::uint64_t>(digit - kHex);
        }
        x = std::bit_cast<double>(bits);
        return std::isnan(x) ? NumberText::Exact : NumberText::Wrong;
    }
    if (text.empty() || text.size() >= MAX_NUMBER_TEXT) return NumberText::Wrong;
    if (read_short_fixed(text, x)) return NumberText::Exact;
    const auto read = std::from_chars(text.data(), text.data() + text.size(), x);
    if (read.ec != std::errc{} || read.ptr != text.data() + text.size() || !std::isfinite(x)) return NumberText::Wrong;
    char canonical[MAX_NUMBER_TEXT];
    const std::size_t length = format_finite(x, canonical);
    return std::string_view(canonical, length) == text ? NumberText::Exact : NumberText::Wrong;
}

}  // namespace kestrel::audit
