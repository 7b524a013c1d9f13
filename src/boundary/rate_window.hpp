// RateWindow: the rate rule of the signing boundary, apart from the clock and the
// lock so that every case, the clock stepping back included, can be tested
// with chosen readings.
#pragma once

#include <cstdint>

namespace kestrel {

class RateWindow {
public:
    // One window lasts one second of the wall clock.
    static constexpr std::uint64_t kLengthNs = 1'000'000'000;

    // The first window opens at `start_ns` with no call counted, so unlike a
    // later window it does not admit its first call unconditionally.
    explicit RateWindow(std::uint64_t start_ns) noexcept : start_ns_(start_ns) {}

    // admit counts a call made at `now_ns` (nanoseconds since the Unix epoch)
    // and returns whether it stays within `limit` calls per window.
    //
    // Within the current window the call is counted before the comparison,
    // so a refused call still uses up the window's budget. A call a second or
    // more after the window's start opens a new window and is admitted
    // whatever the limit, zero included. A clock that stepped back makes the
    // unsigned difference wrap to a huge value, so it opens a new window too,
    // at the earlier time.
    bool admit(std::uint64_t now_ns, std::uint64_t limit) noexcept {
        const std::uint64_t elapsed = now_ns - start_ns_;  // wraps if the clock went back
        if (elapsed < kLengthNs) return ++count_ <= limit;
        start_ns_ = now_ns;
        count_ = 1;
        return true;
    }

    std::uint64_t start_ns() const noexcept { return start_ns_; }
    std::uint64_t count() const noexcept { return count_; }

private:
    std::uint64_t start_ns_;   // start of the current window
    std::uint64_t count_ = 0;  // calls counted in it, refused ones included
};

}  // namespace kestrel
