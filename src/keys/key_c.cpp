// The C face of key derivation and key files, behind kestrel_key.h.
#include <cstring>

#include "kestrel_key.h"
#include "keys/derive.hpp"
#include "keys/key_file.hpp"

using namespace kestrel;

static_assert(KESTREL_LINK_ID_MAX_LEN == MAX_LINK_ID_LEN);

extern "C" {

KestrelError kestrel_derive_key(const std::uint8_t master[KESTREL_KEY_LEN], const std::uint8_t* link_id,
                                std::size_t link_id_len, std::uint8_t out[KESTREL_KEY_LEN]) {
    if (master == nullptr || link_id == nullptr || out == nullptr) return KESTREL_ERROR_INVALID_POINTER;
    const Key given = Key::from_bytes(master);
    Key derived{};
    const KestrelError error = derive_link_key(given, {link_id, link_id_len}, derived);
    if (error == KESTREL_OK) std::memcpy(out, derived.data(), KESTREL_KEY_LEN);
    return error;
}

KestrelError kestrel_key_file_read(const char* path, std::uint8_t key[KESTREL_KEY_LEN], char* message,
                                   std::size_t message_size) {
    const std::span<char> text = message == nullptr ? std::span<char>{} : std::span<char>{message, message_size};
    if (path == nullptr || key == nullptr) {
        if (!text.empty()) text[0] = '\0';
        return KESTREL_ERROR_INVALID_POINTER;
    }
    Key read{};
    const KestrelError error = read_key_file(path, read, text);
    if (error == KESTREL_OK) std::memcpy(key, read.data(), KESTREL_KEY_LEN);
    return error;
}

}  // extern "C"
