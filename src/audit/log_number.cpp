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
    const auto read = std::from_chars(text.data(), text.data() + text.size(), x);
    if (read.ec != std::errc{} || read.ptr != text.data() + text.size() || !std::isfinite(x)) return NumberText::Wrong;
    char canonical[MAX_NUMBER_TEXT];
    const std::size_t length = format_finite(x, canonical);
    return std::string_view(canonical, length) == text ? NumberText::Exact : NumberText::Wrong;
}

}  // namespace kestrel::audit
