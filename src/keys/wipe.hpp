// wipe: overwriting secrets (keys, primed HMAC states, key-file buffers)
// before their memory is reused. One way of doing it for the whole library,
// hosts and microcontrollers alike: it needs nothing but the compiler.
#pragma once

#include <cstddef>
#include <cstring>

namespace kestrel {

// wipe overwrites `size` bytes at `data` with zeros. The empty asm statement
// tells the compiler that the zeros are read through `data` afterwards, so it
// may not drop the stores as dead, even when the object dies on the next line
// or is about to be freed.
inline void wipe(void* data, std::size_t size) noexcept {
    std::memset(data, 0, size);
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace kestrel
