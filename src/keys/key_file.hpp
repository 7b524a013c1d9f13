// key_file: reading a key from a file, by the one rule every tool applies
// (kestrel_key.h states it).
#pragma once

#include <span>

#include "kestrel_error.h"
#include "keys/key.hpp"

namespace kestrel {

// read_key_file fills `out` from the key file at `path` and returns
// KESTREL_OK with "" in `message`; or KESTREL_ERROR_KEY_FILE with `out`
// untouched and one line in `message`
// (cut to its size, always NUL-terminated unless empty) naming the file, what
// is wrong and the fix.
[[nodiscard]] KestrelError read_key_file(const char* path, Key& out, std::span<char> message) noexcept;

}  // namespace kestrel
