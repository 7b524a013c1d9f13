// Doubles as the shortest decimal text that reads back as the same value,
// laid out without an exponent, for messages; and the one message built from
// them, the velocity refusal that both boundaries of the modules raise.
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

// Room for the velocity refusal: two numbers and the catalogue's words.
inline constexpr std::size_t kVelocityRefusalCapacity = 2 * kDecimalTextCapacity + 80;

// velocity_refusal_text writes the message of a command refused for its
// velocity into `buffer` and returns it: "commanded_velocity 9.5 rad/s exceeds
// max_velocity_rad_s 4.18 rad/s", each number as decimal_text writes it.
std::string_view velocity_refusal_text(double velocity, double limit,
                                       char (&buffer)[kVelocityRefusalCapacity]) noexcept;

}  // namespace kestrel::py
