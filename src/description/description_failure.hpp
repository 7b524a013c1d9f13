// The one way the description reader fails: an error code of the catalogue and
// a message naming the file, line, joint and field. Thrown inside the reader
// and caught at its C face, which never lets it through.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "kestrel_error.h"

namespace kestrel::description {

struct DescriptionFailure {
    KestrelError code;
    std::string message;
    int os_error = 0;  // errno for a file that could not be read
};

// "file:line" for a place in a file, "file" where no line is known (0).
std::string place(std::string_view file, std::uint32_t line);

// "file:line: joint 'name': " — the start of every message about one joint.
std::string joint_place(std::string_view file, std::uint32_t line, std::string_view joint);

[[noreturn]] void fail(KestrelError code, std::string message);

// What a file does that a strict load refuses (with `code` and `message`) and
// a plain one reports as a warning, `message` followed by "; " and `effect`.
struct Warning {
    KestrelError code;
    std::string message;
    const char* effect;  // what the reader does instead: "skipped", "ignored"
};

// did_you_mean returns "; did you mean 'x'?" where exactly one of `known` is
// close to `name` (a typo: at most two edits, or a start of it), else "".
std::string did_you_mean(std::string_view name, std::span<const std::string_view> known);

// The shortest text that reads back as the same double.
std::string number_text(double value);

// A piece of a file quoted in a message, cut to a readable length: control
// characters as '?', bytes that are not UTF-8 text as \xNN, so that every
// message is UTF-8 whatever the file holds.
std::string quoted(std::string_view text);

}  // namespace kestrel::description
