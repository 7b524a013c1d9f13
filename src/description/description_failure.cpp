#include "description/description_failure.hpp"

#include <charconv>

namespace kestrel::description {

std::string place(std::string_view file, std::uint32_t line) {
    std::string text(file);
    if (line != 0) text += ":" + std::to_string(line);
    return text;
}

std::string joint_place(std::string_view file, std::uint32_t line, std::string_view joint) {
    return place(file, line) + ": joint " + quoted(joint) + ": ";
}

void fail(KestrelError code, std::string message) { throw DescriptionFailure{code, std::move(message)}; }

std::string number_text(double value) {
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string quoted(std::string_view text) {
    constexpr std::size_t kShown = 64;
    std::string out = "'";
    for (const char c : text.substr(0, kShown)) out += (static_cast<unsigned char>(c) < 0x20) ? '?' : c;
    if (text.size() > kShown) out += "...";
    return out + "'";
}

}  // namespace kestrel::description
