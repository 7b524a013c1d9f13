#include "description/description_text.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <unistd.h>

#include "description/description_failure.hpp"
#include "files/regular_file.hpp"
#include "kestrel_description.h"

namespace kestrel::description {

namespace {

// Closes the descriptor on every way out.
struct FileDescriptor {
    int fd;
    ~FileDescriptor() {
        if (fd >= 0) ::close(fd);
    }
};

[[noreturn]] void unreadable(const std::string& path, int error) {
    throw DescriptionFailure{KESTREL_ERROR_DESCRIPTION_UNREADABLE, path + ": " + std::strerror(error), error};
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string read_description_file(const std::string& path) {
    const RegularFile opened = open_regular_file(path.c_str());
    if (opened.outcome == OpenOutcome::Failed) unreadable(path, opened.error);
    if (opened.outcome == OpenOutcome::NotRegular) {
        throw DescriptionFailure{KESTREL_ERROR_DESCRIPTION_UNREADABLE,
                                 path + ": not a regular file; a robot description is read from a file", 0};
    }
    const FileDescriptor file{opened.fd};
    // Read until the end or one byte past the bound, whatever the file claims
    // to hold (one that grows while it is read claims too little).
    constexpr std::size_t kLimit = KESTREL_DESCRIPTION_MAX_FILE_SIZE;
    std::string text;
    std::size_t used = 0;
    while (used <= kLimit) {
        text.resize(std::min(kLimit + 1, used + 65536));
        const ssize_t got = ::read(file.fd, text.data() + used, text.size() - used);
        if (got < 0) {
            if (errno == EINTR) continue;
            unreadable(path, errno);
        }
        if (got == 0) break;
        used += static_cast<std::size_t>(got);
    }
    text.resize(used);
    check_text(path, text);
    return text;
}

void check_text(std::string_view file, std::string_view text) {
    if (text.size() > KESTREL_DESCRIPTION_MAX_FILE_SIZE) {
        fail(KESTREL_ERROR_DESCRIPTION_TOO_LARGE, std::string(file) + ": the file is over " +
                                                      std::to_string(KESTREL_DESCRIPTION_MAX_FILE_SIZE >> 20) + " MiB");
    }
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) {
        fail(KESTREL_ERROR_DESCRIPTION_SYNTAX, place(file, line_of(text, nul)) + ": a NUL byte in a text file");
    }
}

std::uint32_t line_of(std::string_view text, std::size_t offset) {
    std::uint32_t line = 1;
    for (std::size_t i = 0; i < offset && i < text.size(); ++i) line += text[i] == '\n';
    return line;
}

std::size_t utf8_sequence(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    // The lead byte gives the length and the range its first continuation
    // byte may take, which is what excludes overlong forms, surrogates and
    // code points beyond U+10FFFF.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

bool is_utf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

void check_name(std::string_view file, std::uint32_t line, std::string_view name) {
    if (!is_utf8(name))
        fail(KESTREL_ERROR_DESCRIPTION_SYNTAX, joint_place(file, line, name) + "the name is not UTF-8 text");
}

std::optional<double> parse_decimal(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    // The grammar is checked here: from_chars alone would also take "inf",
    // "nan" and hexadecimal digits.
    std::size_t i = 0;
    const bool negative = i < text.size() && text[i] == '-';
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
    const std::size_t start = i;
    std::size_t digits = 0;
    for (; i < text.size() && is_digit(text[i]); ++i) ++digits;
    if (i < text.size() && text[i] == '.') {
        for (++i; i < text.size() && is_digit(text[i]); ++i) ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
        std::size_t exponent_digits = 0;
        for (; i < text.size() && is_digit(text[i]); ++i) ++exponent_digits;
        if (exponent_digits == 0) return std::nullopt;
    }
    if (i != text.size()) return std::nullopt;
    double value = 0.0;
    const auto result = std::from_chars(text.data() + start, text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

}  // namespace kestrel::description
