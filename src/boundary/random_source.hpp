// The operating system's random source, for nonces.
#pragma once

#include <cstdint>
#include <span>

#include "boundary/vdso_getrandom.hpp"

namespace kestrel {

// A failure of the random source: an errno value, or this code when a source
// returned no bytes at all (retrying then could spin forever).
inline constexpr int kRandomNoBytes = -1;

// random_failure_text describes a failure code of this file: the system's
// text for an errno value, or a sentence for kRandomNoBytes.
const char* random_failure_text(int error) noexcept;

// fill_random fills `out` with bytes from getrandom(2) (no flags; retried
// when interrupted, continued after a short read). When the first probe of
// getrandom fails with ENOSYS or EPERM, /dev/urandom is opened once, kept,
// and used from then on. Returns 0, or a failure code (above).
int fill_random(std::span<std::uint8_t> out) noexcept;

// NonceSource draws from the vDSO's generator through an opaque state of its
// own, mapped at construction and unmapped at destruction, and falls back to
// fill_random when the vDSO lacks the generator, the state cannot be mapped,
// or a call does not deliver every byte. A state serves one caller at a
// time: the owner serialises fill() (a boundary draws under its lock). The
// kernel wipes such states in a forked child, so parent and child never
// share a stream.
class NonceSource {
public:
    explicit NonceSource(const VdsoGetrandom* vdso = vdso_getrandom()) noexcept;
    ~NonceSource();
    NonceSource(const NonceSource&) = delete;
    NonceSource& operator=(const NonceSource&) = delete;

    // fill fills `out` with fresh random bytes. Returns 0, or a failure code.
    int fill(std::span<std::uint8_t> out) noexcept;

    // True when fill() tries the vDSO first.
    bool has_vdso_state() const noexcept { return state_ != nullptr; }

private:
    const VdsoGetrandom* vdso_;  // nullptr when the vDSO path is off
    void* state_ = nullptr;      // the opaque state, vdso_->state_size bytes, or nullptr
};

}  // namespace kestrel
