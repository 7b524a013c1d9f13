// log_hash: the running SHA-256 of a receipt log, the tags of its seals and
// the fingerprints that name its keys.
//
// A seal line says how many lines precede it and the SHA-256 of their bytes
// (each line with its newline), and carries a tag: HMAC-SHA-256 over the
// count (u64 little-endian) and that digest, under a key derived from the
// boundary key, HMAC-SHA-256(boundary key, label). The label tells a final
// seal ("kestrel receipt log seal", the only seal of the first logs) from a
// checkpoint ("kestrel receipt log checkpoint") and from a rotation ("kestrel
// receipt log rotation"), so none can pass for another. A rotation's tag also
// covers the fingerprint of the key the log goes on under, after the digest.
// Every label is shorter than any receipt's message, so no receipt tag is a
// seal key and no seal a receipt.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "keys/key.hpp"
#include "receipts/hmac.hpp"
#include "receipts/sha256.hpp"

namespace kestrel::audit {

using Digest = sha256::Digest;

// The running SHA-256 of the log's bytes.
using RunningSha256 = sha256::Running;

enum class SealKind { Checkpoint, Final, Rotation };

// Fingerprint: the name of a key in a log, the first 8 bytes of
// HMAC-SHA-256(key, "kestrel key fingerprint v1"). It tells keys apart and
// reveals nothing of one: it is a tag under the key, not a digest of it.
inline constexpr std::size_t FINGERPRINT_LEN = 8;
using Fingerprint = std::array<std::uint8_t, FINGERPRINT_LEN>;

// key_fingerprint returns the fingerprint of `key`.
[[nodiscard]] Fingerprint key_fingerprint(const Key& key) noexcept;

// SealKeys: the three seal keys of one boundary key, primed for HMAC. Wiped
// when it dies.
class SealKeys {
public:
    explicit SealKeys(const Key& key) noexcept { rekey(key); }
    SealKeys(const SealKeys&) = delete;
    SealKeys& operator=(const SealKeys&) = delete;

    // rekey derives the seal keys of `key` in place of the ones held.
    void rekey(const Key& key) noexcept;

    // tag returns the tag of a seal of `kind` over `lines` lines whose bytes
    // hash to `digest`; a rotation's names the next key by `next`, which the
    // other kinds ignore.
    [[nodiscard]] Digest tag(SealKind kind, std::uint64_t lines, const Digest& digest,
                             const Fingerprint& next = {}) const noexcept;

private:
    HmacKeyState final_;
    HmacKeyState checkpoint_;
    HmacKeyState rotation_;
};

}  // namespace kestrel::audit
