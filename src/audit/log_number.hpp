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

}  // namespace kestrel::audit
