// shortest_digits: the shortest decimal digits that read back as a given
// double, the one split of a double into sign, digits and exponent. The
// receipt log spells numbers from it as Python's repr does, and the Python
// modules' messages without an exponent; each lays the digits out its own way.
#pragma once

#include <cstddef>

namespace kestrel::text {

// ShortestDigits: a finite double as [-]d.ddd x 10^exponent.
struct ShortestDigits {
    bool negative = false;  // the sign bit, so -0.0 is negative
    char digits[17];        // the significant digits, the first nonzero unless the value is 0; no trailing zero
    std::size_t count = 0;  // how many of `digits`, 1..17
    int exponent = 0;       // the power of ten of the first digit, -324..308
};

// shortest_digits returns the digits of a finite `value` (a NaN or an
// infinity gives unspecified digits). Never fails, allocates nothing.
[[nodiscard]] ShortestDigits shortest_digits(double value) noexcept;

}  // namespace kestrel::text
