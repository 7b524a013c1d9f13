// constant_time: comparing secrets without revealing where they differ, and
// the one optimisation barrier of this library.
#pragma once

#include "receipts/receipt.hpp"

namespace kestrel {

// constant_time_equal returns true iff the 32 bytes of a and b are equal.
// Every byte is examined and nothing branches on the data before the one
// final bit, so the time is independent of the contents.
[[nodiscard]] bool constant_time_equal(const Tag& a, const Tag& b) noexcept;

// black_box returns `value` unchanged, but the optimiser cannot know what it
// is: it may not fold it into a constant, nor reason about the values
// computed before it (and, say, end a comparison loop once the outcome is
// settled). Costs no instruction. The one optimisation barrier of this
// library.
template <typename T>
[[nodiscard]] inline T black_box(T value) noexcept {
    __asm__("" : "+r"(value));
    return value;
}

}  // namespace kestrel
