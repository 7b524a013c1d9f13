#include "text/shortest_digits.hpp"

#include <charconv>

namespace kestrel::text {

ShortestDigits shortest_digits(double value) noexcept {
    // std::to_chars gives the shortest round-trip digits as
    // "[-]d[.ddd]e(+|-)dd[d]"; 32 bytes hold the longest ("-d.16digits e-308").
    char scientific[32];
    const char* const end =
        std::to_chars(scientific, scientific + sizeof scientific, value, std::chars_format::scientific).ptr;
    ShortestDigits out;
    const char* p = scientific;
    if (*p == '-') {
        out.negative = true;
        ++p;
    }
    for (; p != end && *p != 'e'; ++p) {
        if (*p != '.' && out.count < sizeof out.digits) out.digits[out.count++] = *p;
    }
    if (p == end) return out;  // not reached for a finite value
    const bool below_one = p[1] == '-';
    int magnitude = 0;
    for (p += 2; p != end; ++p) magnitude = magnitude * 10 + (*p - '0');
    out.exponent = below_one ? -magnitude : magnitude;
    return out;
}

}  // namespace kestrel::text
