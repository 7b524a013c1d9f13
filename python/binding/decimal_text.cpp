#include "decimal_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "errors/error_catalogue.hpp"

namespace kestrel::py {

std::string_view decimal_text(double value, char (&buffer)[kDecimalTextCapacity]) noexcept {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]XX.
    char scientific[64];
    const auto [end, ec] =
        std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific);
    (void)ec;  // 64 bytes always suffice for a double
    const char* p = scientific;
    std::size_t length = 0;
    if (*p == '-') {
        buffer[length++] = '-';
        ++p;
    }
    char digits[32];
    std::size_t digit_count = 0;
    for (; p < end && *p != 'e'; ++p) {
        if (*p != '.') digits[digit_count++] = *p;
    }
    // value = d.ddd x 10^exponent; the exponent is written with its sign.
    const bool negative_exponent = p[1] == '-';
    int exponent = 0;
    std::from_chars(p + 2, end, exponent);
    if (negative_exponent) exponent = -exponent;

    if (exponent < 0) {
        // 0.000ddd
        buffer[length++] = '0';
        buffer[length++] = '.';
        for (int i = -1; i > exponent; --i) buffer[length++] = '0';
        std::memcpy(buffer + length, digits, digit_count);
        length += digit_count;
    } else if (static_cast<std::size_t>(exponent) + 1 >= digit_count) {
        // Integral: the digits, then zeros up to the decimal point.
        std::memcpy(buffer + length, digits, digit_count);
        length += digit_count;
        for (std::size_t i = digit_count; i < static_cast<std::size_t>(exponent) + 1; ++i) buffer[length++] = '0';
    } else {
        // ddd.ddd
        const std::size_t integral = static_cast<std::size_t>(exponent) + 1;
        std::memcpy(buffer + length, digits, integral);
        length += integral;
        buffer[length++] = '.';
        std::memcpy(buffer + length, digits + integral, digit_count - integral);
        length += digit_count - integral;
    }
    return std::string_view(buffer, length);
}

std::string_view velocity_refusal_text(double velocity, double limit,
                                       char (&buffer)[kVelocityRefusalCapacity]) noexcept {
    static_assert(sizeof kVelocityExceededFormat < kVelocityRefusalCapacity - 2 * kDecimalTextCapacity);
    char velocity_text[kDecimalTextCapacity];
    char limit_text[kDecimalTextCapacity];
    const std::string_view v = decimal_text(velocity, velocity_text);
    const std::string_view l = decimal_text(limit, limit_text);
    const int length = std::snprintf(buffer, sizeof buffer, kVelocityExceededFormat, static_cast<int>(v.size()),
                                     v.data(), static_cast<int>(l.size()), l.data());
    return std::string_view(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

}  // namespace kestrel::py
