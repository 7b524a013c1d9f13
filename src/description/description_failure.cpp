#include "description/description_failure.hpp"

#include <charconv>

#include "description/description_text.hpp"

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
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "'";
    std::size_t i = 0;
    while (i < text.size() && i < kShown) {
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t length = utf8_sequence(text, i);
        if (c < 0x20) {
            out += '?';
        } else if (length == 0) {
            // A byte that is not UTF-8 text, shown as \xNN so that every
            // message is UTF-8 whatever the file holds.
            out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
        } else {
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        ++i;
    }
    if (i < text.size()) out += "...";
    return out + "'";
}

}  // namespace kestrel::description
