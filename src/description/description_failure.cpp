#include "description/description_failure.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

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

namespace {

// The Levenshtein distance of a and b, given up on (returning limit + 1)
// once it exceeds `limit`.
std::size_t edit_distance(std::string_view a, std::string_view b, std::size_t limit) {
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit) return limit + 1;
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

std::string did_you_mean(std::string_view name, std::span<const std::string_view> known) {
    // velocty for velocity: two edits at most; has_jerk for has_jerk_limits:
    // the start of a known name (four characters at least), counted as one.
    // The closest wins, if it is the only one that close.
    constexpr std::size_t kEdits = 2;
    std::string_view match;
    std::size_t best = kEdits + 1;
    int ties = 0;
    for (const std::string_view candidate : known) {
        const bool start = name.size() >= 4 && candidate.starts_with(name);
        const std::size_t distance = start ? 1 : edit_distance(name, candidate, kEdits);
        if (distance < best) {
            best = distance, match = candidate, ties = 1;
        } else if (distance == best) {
            ++ties;
        }
    }
    return best <= kEdits && ties == 1 ? "; did you mean " + quoted(match) + "?" : "";
}

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
