#include "decimal_text.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "errors/error_catalogue.hpp"
#include "text/shortest_digits.hpp"

namespace kestrel::py {

std::string_view decimal_text(double value, char (&buffer)[kDecimalTextCapacity]) noexcept {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";

    const text::ShortestDigits split = text::shortest_digits(value);
    std::size_t length = 0;
    if (split.negative) buffer[length++] = '-';
    const char* const digits = split.digits;
    const std::size_t digit_count = split.count;
    const int exponent = split.exponent;  // value = d.ddd x 10^exponent

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
