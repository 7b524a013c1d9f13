// log_number: a double as a receipt log spells it, and back.
//
// A finite double is written in its shortest round-trip decimal form, spelled
// as Python's repr spells it ("0.25", "1.0", "1e-05", "1.5e+16"), so that the
// lines of the older Python writer and of this one are the same bytes. Any
// other double is a JSON string: "inf", "-inf", or "nan:" and the 16 hex
// digits of its IEEE-754 bits (a NaN keeps its sign and payload). Reading is
// exact: a text is a log's number only if writing the double it reads back
// gives the very same text, so what a person reads is what was checked.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrel::audit {

// The longest text format_number writes ("\"nan:\" + 16 hex digits" and the
// quotes is 22; "-2.2250738585072014e-308" is 24).
inline constexpr std::size_t MAX_NUMBER_TEXT = 32;

// format_number writes the log's text of x to out (at least MAX_NUMBER_TEXT
// bytes) and returns its length. Never fails.
std::size_t format_number(double x, char* out) noexcept;

// NumberText: what parse_number made of a text.
enum class NumberText {
    Exact,    // the text format_number writes for the double
    BareNaN,  // a bare NaN of the older writer: its bits were lost, read as the default quiet NaN
    Wrong,    // any other text
};

// parse_number reads the double whose log text is `text` into x. Also takes
// the spellings of logs written before the quoted forms existed: Infinity,
// -Infinity (exact) and NaN (BareNaN). x is unspecified when Wrong.
NumberText parse_number(std::string_view text, double& x) noexcept;

// read_short_fixed is parse_number's fast path for the texts that make up
// most logs: "[-]I.F" as repr writes it (I without leading zero, F without
// trailing zero, or "0" for a whole number), whose digits without the point
// make an integer below 10^15, and whose value is 0 or at least 1e-4 (below,
// repr writes "1e-05"). For such a text it reads the double into x and
// returns true, the answer the general reader gives; for any other text it
// returns false, x untouched, and the general reader decides.
bool read_short_fixed(std::string_view text, double& x) noexcept;

}  // namespace kestrel::audit
