// The one way the description reader fails: an error code of the catalogue and
// a message naming the file, line, joint and field. Thrown inside the reader
// and caught at its C face, which never lets it through.
#pragma once

#include <cstdint>
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

// The shortest text that reads back as the same double.
std::string number_text(double value);

// A piece of a file quoted in a message, cut to a readable length: control
// characters as '?', bytes that are not UTF-8 text as \xNN, so that every
// message is UTF-8 whatever the file holds.
std::string quoted(std::string_view text);

}  // namespace kestrel::description
