// A description file's text: read with a bound on its size, checked for what no
// parser should see, and the number and boolean spellings both formats share.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrel::description {

// A number read from a file, with the line it stands on (0: unknown).
struct Number {
    double value;
    std::uint32_t line;
};

// read_description_file returns the contents of the regular file `path`, at
// most KESTREL_DESCRIPTION_MAX_FILE_SIZE bytes (it never reads more than one
// byte beyond), or fails: unreadable (with errno), not a regular file (errno
// 0, refused before any read, so a FIFO never blocks) or too large.
std::string read_description_file(const std::string& path);

// check_text refuses text over the size bound or holding a NUL byte, which
// both parsers would take for the end of the file.
void check_text(std::string_view file, std::string_view text);

// line_of returns the 1-based line of byte `offset` of `text`.
std::uint32_t line_of(std::string_view text, std::size_t offset);

// utf8_sequence returns the length (1 to 4) of the well-formed UTF-8
// character at text[at], or 0 where the bytes there are not one (a stray or
// overlong sequence, a surrogate, a code point beyond U+10FFFF, a cut end).
std::size_t utf8_sequence(std::string_view text, std::size_t at);

// is_utf8 tells whether all of `text` is well-formed UTF-8.
bool is_utf8(std::string_view text);

// check_name refuses a joint name that is not UTF-8 text: every name the
// reader gives back is.
void check_name(std::string_view file, std::uint32_t line, std::string_view name);

// parse_decimal reads a decimal number ("-1.5", "+2", ".5", "3e-2"; blanks
// around it allowed): nullopt for anything else, including a value that is
// not finite or lies beyond the range of a double.
std::optional<double> parse_decimal(std::string_view text);

}  // namespace kestrel::description
