#include "keys/key_file.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "files/regular_file.hpp"

namespace kestrel {
namespace {

// strerror_r comes in two flavours (GNU returns the text, XSI fills the
// buffer); the overload picks whichever this C library has.
[[maybe_unused]] const char* strerror_text(const char* text, const char*) noexcept { return text; }
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) noexcept {
    return result == 0 ? buffer : "unknown error";
}

// The path as a shell word, so the suggested command can be pasted as is:
// unchanged if it holds only characters no shell treats specially, otherwise
// in single quotes (a quote inside becoming '\''). Cut to `size`.
void shell_word(const char* path, char* out, std::size_t size) noexcept {
    bool plain = *path != '\0';
    for (const char* c = path; *c != '\0'; ++c) {
        plain = plain && (std::strchr("_./-+,:@%=", *c) != nullptr || (*c >= '0' && *c <= '9') ||
                          (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z'));
    }
    if (plain) {
        std::snprintf(out, size, "%s", path);
        return;
    }
    std::size_t n = 0;
    auto put = [&](char c) {
        if (n + 1 < size) out[n++] = c;
    };
    put('\'');
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '\'') {
            for (const char q : {'\'', '\\', '\'', '\''}) put(q);
        } else {
            put(*c);
        }
    }
    put('\'');
    out[n] = '\0';
}

[[gnu::format(printf, 2, 3)]] KestrelError refuse(std::span<char> message, const char* format, ...) noexcept {
    if (!message.empty()) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(message.data(), message.size(), format, args);
        va_end(args);
    }
    return KESTREL_ERROR_KEY_FILE;
}

// Reads up to `size` bytes, across short reads and signals; -1 on an error.
ssize_t read_all(int fd, std::uint8_t* buffer, std::size_t size) noexcept {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, buffer + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

KestrelError read_key_file(const char* path, Key& out, std::span<char> message) noexcept {
    if (!message.empty()) message[0] = '\0';
    char reason[128];
    char quoted[512];
    shell_word(path, quoted, sizeof quoted);

    const RegularFile file = open_regular_file(path);
    if (file.outcome == OpenOutcome::Failed) {
        const char* text = strerror_text(strerror_r(file.error, reason, sizeof reason), reason);
        // No hint to make a key here: a new key verifies nothing signed before, and the caller knows whose key
        // it wants.
        return refuse(message, "%s: cannot open the key file: %s", path, text);
    }
    if (file.outcome == OpenOutcome::NotRegular) {
        return refuse(message, "%s: not a regular file; a key file holds exactly %zu raw bytes", path, Key::size());
    }
    const int fd = file.fd;
    const struct stat& status = file.status;
    // The size first: a file of another size (a log given in its place) is not a key whatever its mode.
    if (status.st_size != static_cast<off_t>(Key::size())) {
        ::close(fd);
        const bool longer = status.st_size > static_cast<off_t>(Key::size());
        return refuse(message, "%s: a key file holds exactly %zu bytes, but this one holds %s%zu", path, Key::size(),
                      longer ? "more than " : "", longer ? Key::size() : static_cast<std::size_t>(status.st_size));
    }
    if ((status.st_mode & 077) != 0) {
        ::close(fd);
        return refuse(message,
                      "%s: a key file must be its owner's alone, but others may read or write this one (mode %03o); "
                      "fix it with: chmod 600 %s",
                      path, static_cast<unsigned>(status.st_mode & 0777), quoted);
    }
    // One byte more than a key, to tell a longer file from a whole key.
    std::uint8_t buffer[KESTREL_KEY_LEN + 1];
    const ssize_t got = read_all(fd, buffer, sizeof buffer);
    const int read_error = errno;
    ::close(fd);
    KestrelError result = KESTREL_OK;
    if (got < 0) {
        result = refuse(message, "%s: cannot read the key file: %s", path,
                        strerror_text(strerror_r(read_error, reason, sizeof reason), reason));
    } else if (static_cast<std::size_t>(got) != KESTREL_KEY_LEN) {
        result =
            refuse(message, "%s: a key file holds exactly %zu bytes, but this one holds %s%zu", path, Key::size(),
                   static_cast<std::size_t>(got) > KESTREL_KEY_LEN ? "more than " : "",
                   static_cast<std::size_t>(got) > KESTREL_KEY_LEN ? KESTREL_KEY_LEN : static_cast<std::size_t>(got));
    } else {
        std::memcpy(out.data(), buffer, KESTREL_KEY_LEN);
    }
    wipe(buffer, sizeof buffer);
    return result;
}

}  // namespace kestrel
