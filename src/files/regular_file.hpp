// regular_file: opening a file a person named, by the one rule every reader
// of such files applies (key files, robot descriptions): nothing but a regular
// file is read, and nothing waits on the way to telling. Header-only, so that
// the description library, which links nothing of the core, shares it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestrel {

// What open_regular_file came to.
enum class OpenOutcome {
    Opened,      // `fd` is open for reading, `status` describes it
    Failed,      // open or fstat failed: `error` holds errno, no descriptor is left open
    NotRegular,  // a directory, FIFO, socket or device: `status` describes it, no descriptor is left open
};

struct RegularFile {
    OpenOutcome outcome = OpenOutcome::Failed;
    int fd = -1;           // Opened: the caller closes it
    int error = 0;         // Failed: errno
    struct stat status {};  // Opened, NotRegular: what fstat said
};

// open_regular_file opens `path` read-only and refuses anything but a
// regular file before a byte is read. The open itself never waits: with
// O_NONBLOCK a FIFO without a writer opens at once (and is then refused),
// where a plain open would block until some process writes to it; O_NOCTTY
// keeps a terminal named by mistake from becoming the caller's. On a regular
// file the flag is cleared again, so the reads that follow are the plain reads
// of a file. Any thread; allocates nothing.
[[nodiscard]] inline RegularFile open_regular_file(const char* path) noexcept {
    RegularFile file;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        file.error = errno;
        return file;
    }
    if (::fstat(fd, &file.status) != 0) {
        file.error = errno;
        ::close(fd);
        return file;
    }
    if (!S_ISREG(file.status.st_mode)) {
        ::close(fd);
        file.outcome = OpenOutcome::NotRegular;
        return file;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        file.error = errno;
        ::close(fd);
        return file;
    }
    file.fd = fd;
    file.outcome = OpenOutcome::Opened;
    return file;
}

}  // namespace kestrel
