#include "description/description_text.hpp"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "description/description_failure.hpp"
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
    const FileDescriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) unreadable(path, errno);
    // Read until the end or one byte past the bound, whatever the file claims
    // to hold (a pipe or /dev/zero claims nothing).
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

std::optional<double> parse_number(std::string_view text) {
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
