// HKDF by libcrypto: the extract and expand steps are standard, and a
// deployment's other tools (a provisioning script, a key server) compute the
// same keys with their own HKDF.
#include "keys/derive.hpp"

#include <openssl/core_names.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

namespace kestrel {
namespace {

// Versioned, so that a later formula cannot give the same keys by accident.
constexpr char kSalt[] = "kestrel link key v1";

}  // namespace

bool hkdf_sha256(std::span<const std::uint8_t> salt, std::span<const std::uint8_t> ikm,
                 std::span<const std::uint8_t> info, std::span<std::uint8_t> out) noexcept {
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_KDF_CTX* context = kdf == nullptr ? nullptr : EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);  // the context holds its own reference
    if (context == nullptr) return false;
    // The parameters only point at the inputs; libcrypto copies the key
    // material into the context and wipes it there when the context is freed.
    auto octets = [](const char* name, std::span<const std::uint8_t> bytes) {
        return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(bytes.data()), bytes.size());
    };
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        octets(OSSL_KDF_PARAM_KEY, ikm),
        octets(OSSL_KDF_PARAM_SALT, salt),
        octets(OSSL_KDF_PARAM_INFO, info),
        OSSL_PARAM_construct_end(),
    };
    const bool ok = EVP_KDF_derive(context, out.data(), out.size(), params) == 1;
    EVP_KDF_CTX_free(context);
    return ok;
}

KestrelError derive_link_key(const Key& master, std::span<const std::uint8_t> link_id, Key& out) noexcept {
    if (link_id.empty() || link_id.size() > MAX_LINK_ID_LEN) return KESTREL_ERROR_BAD_LINK_ID;
    if (master.is_zero()) return KESTREL_ERROR_ZERO_KEY;
    // Derived apart, so that `out` stays untouched on failure even when it is `master`.
    Key derived{};
    const auto salt = std::as_bytes(std::span(kSalt)).first(sizeof kSalt - 1);
    if (!hkdf_sha256({reinterpret_cast<const std::uint8_t*>(salt.data()), salt.size()}, master.bytes(), link_id,
                     {derived.data(), KESTREL_KEY_LEN})) {
        return KESTREL_ERROR_KEY_DERIVATION;
    }
    std::memcpy(out.data(), derived.data(), KESTREL_KEY_LEN);
    return KESTREL_OK;
}

}  // namespace kestrel
