#include "audit/log_number.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

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
    char scientific[MAX_NUMBER_TEXT];
    const auto written = std::to_chars(scientific, scientific + sizeof scientific, x, std::chars_format::scientific);
    const std::string_view text(scientific, static_cast<std::size_t>(written.ptr - scientific));
    const std::size_t e_at = text.find('e');
    std::size_t at = 0;
    std::string_view mantissa = text.substr(0, e_at);
    if (mantissa.front() == '-') {
        out[at++] = '-';
        mantissa.remove_prefix(1);
    }
    char digits[24];
    std::size_t count = 0;
    for (char c : mantissa) {
        if (c != '.') digits[count++] = c;
    }
    int exponent = 0;
    std::from_chars(text.data() + e_at + (text[e_at + 1] == '+' ? 2 : 1), text.data() + text.size(), exponent);
    const int point = exponent + 1;  // digits[0..point) come before the decimal point
    const std::string_view all(digits, count);
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
    out[at++] = digits[0];
    if (count > 1) {
        out[at++] = '.';
        at = append(out, at, all.substr(1));
    }
    out[at++] = 'e';
    out[at++] = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) out[at++] = '0';
    const auto tail = std::to_chars(out + at, out + MAX_NUMBER_TEXT, magnitude);
    return static_cast<std::size_t>(tail.ptr - out);
}

// read_short_fixed reads the texts that make up most logs at a fraction of
// the general reader's cost: "[-]I.F" as repr writes it (I without leading
// zero, F without trailing zero, or "0" for a whole number), with at most 15
// digits after the leading zeros and the first significant digit at most
// three places after the point. It returns false for any other text, which
// the general reader then decides. Why the answer is exact:
//   - the digits form an integer M < 10^15 < 2^53 and the point divides it
//     by 10^k with k <= 18, both exact doubles, so one IEEE division gives
//     the correctly rounded value, as the general reader would;
//   - distinct decimals of at most 15 significant digits round to distinct
//     doubles, so no other decimal that short, the shortest one included,
//     reads back as this double: the text is its shortest form, and the
//     checks above are the rest of repr's spelling in fixed notation.
bool read_short_fixed(std::string_view text, double& x) noexcept {
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,
                                        1e10, 1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18};
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    const bool negative = text.starts_with('-');
    std::size_t at = negative ? 1 : 0;
    const std::size_t whole_at = at;
    while (at < text.size() && digit(text[at])) ++at;
    const std::size_t whole_len = at - whole_at;
    if (whole_len == 0 || (whole_len > 1 && text[whole_at] == '0')) return false;
    if (at == text.size() || text[at] != '.') return false;
    const std::size_t fraction_at = ++at;
    while (at < text.size() && digit(text[at])) ++at;
    const std::size_t fraction_len = at - fraction_at;
    if (at != text.size() || fraction_len == 0) return false;
    const bool whole = fraction_len == 1 && text[fraction_at] == '0';
    if (!whole && text.back() == '0') return false;
    std::uint64_t m = 0;
    std::size_t significant = 0;
    for (std::size_t i = whole_at; i < text.size(); ++i) {
        if (i == fraction_at - 1 || (whole && i == fraction_at)) continue;  // the point; the 0 of "I.0"
        m = m * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (m != 0 && ++significant > 15) return false;
    }
    const std::size_t k = whole ? 0 : fraction_len;
    // 1e-4 is "0.0001"; 1e-5 is "1e-05": repr's first significant digit lies
    // at most four places after the point.
    if (text[whole_at] == '0' && m != 0 && fraction_len - significant >= 4) return false;
    const double magnitude = static_cast<double>(m) / kPow10[k];
    x = negative ? -magnitude : magnitude;
    return true;
}

}  // namespace

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
