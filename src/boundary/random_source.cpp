#include "boundary/random_source.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace kestrel {

namespace {

enum class Source { Undecided, Getrandom, Urandom };

std::atomic<Source> g_source{Source::Undecided};
std::mutex g_probe_mutex;  // serialises the first probe and the open
int g_urandom_fd = -1;     // kept open for the life of the process once used

// read_fully calls `read(buffer, length)` until `out` is full: retried when
// interrupted, continued after a short read. A read that delivers nothing is
// a failure, never a reason to spin.
template <class Read>
int read_fully(std::span<std::uint8_t> out, Read read) noexcept {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = read(out.data() + done, out.size() - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return kRandomNoBytes;
        done += static_cast<std::size_t>(got);
    }
    return 0;
}

int read_getrandom(std::span<std::uint8_t> out) noexcept {
    return read_fully(out, [](std::uint8_t* at, std::size_t n) { return getrandom(at, n, 0); });
}

int read_urandom(std::span<std::uint8_t> out) noexcept {
    return read_fully(out, [](std::uint8_t* at, std::size_t n) { return read(g_urandom_fd, at, n); });
}

// read_decided fills `out` from `source` into `error` (0 or an errno) and
// returns true, or returns false for a source not yet decided.
bool read_decided(Source source, std::span<std::uint8_t> out, int& error) noexcept {
    switch (source) {
        case Source::Getrandom:
            error = read_getrandom(out);
            return true;
        case Source::Urandom:
            error = read_urandom(out);
            return true;
        case Source::Undecided:
            return false;
    }
    return false;
}

// probe decides the source on first use; other failures leave it undecided.
int probe(std::span<std::uint8_t> out) noexcept {
    const std::lock_guard<std::mutex> lock(g_probe_mutex);
    if (int error = 0; read_decided(g_source.load(), out, error)) return error;  // another thread decided
    const int error = read_getrandom(out);
    if (error == 0) {
        g_source.store(Source::Getrandom);
        return 0;
    }
    if (error != ENOSYS && error != EPERM) return error;
    int fd = -1;
    do {
        fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    g_urandom_fd = fd;
    g_source.store(Source::Urandom);
    return read_urandom(out);
}

}  // namespace

const char* random_failure_text(int error) noexcept {
    if (error == kRandomNoBytes) return "the random source returned no bytes";
    return std::strerror(error);
}

int fill_random(std::span<std::uint8_t> out) noexcept {
    if (int error = 0; read_decided(g_source.load(std::memory_order_acquire), out, error)) return error;
    return probe(out);
}

NonceSource::NonceSource(const VdsoGetrandom* vdso) noexcept : vdso_(vdso) {
    if (vdso_ == nullptr) return;
    void* state = mmap(nullptr, vdso_->state_size, static_cast<int>(vdso_->mmap_prot),
                       static_cast<int>(vdso_->mmap_flags), -1, 0);
    if (state != MAP_FAILED) state_ = state;
}

NonceSource::~NonceSource() {
    if (state_ != nullptr) munmap(state_, vdso_->state_size);
}

int NonceSource::fill(std::span<std::uint8_t> out) noexcept {
    if (state_ != nullptr) {
        const ssize_t got = vdso_->call(out.data(), out.size(), 0, state_, vdso_->state_size);
        if (got >= 0 && static_cast<std::size_t>(got) == out.size()) return 0;
    }
    return fill_random(out);
}

}  // namespace kestrel
