// Doubles as the shortest decimal text that reads back as the same value,
// laid out without an exponent, for messages.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrel::py {

// Room for the longest result: the smallest subnormal needs "-0." followed
// by 323 zeros and one digit; the largest double needs 309 digits and a sign.
inline constexpr std::size_t kDecimalTextCapacity = 400;

// decimal_text writes `value` into `buffer` and returns the text: 4.18 ->
// "4.18", 5.0 -> "5", -0.0 -> "-0", 1e23 -> "100000000000000000000000"
// (the shortest digits padded with zeros, not the binary value's exact
// expansion), 1e-7 -> "0.0000001", infinities "inf"/"-inf", any NaN "NaN".
std::string_view decimal_text(double value, char (&buffer)[kDecimalTextCapacity]) noexcept;

}  // namespace kestrel::py
