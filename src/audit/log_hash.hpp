// log_hash: the running SHA-256 of a receipt log and the tags of its seals.
//
// A seal line says how many lines precede it and the SHA-256 of their bytes
// (each line with its newline), and carries a tag: HMAC-SHA-256 over the
// count (u64 little-endian) and that digest, under a key derived from the
// boundary key, HMAC-SHA-256(boundary key, label). The label tells a final
// seal ("kestrel receipt log seal", the only seal of the first logs) from a
// checkpoint ("kestrel receipt log checkpoint"), so neither can pass for the
// other. Both labels are shorter than any receipt's message, so no receipt
// tag is a seal key and no seal a receipt.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kestrel_base.h"  // KESTREL_KEY_LEN
#include "receipts/sha256.hpp"

namespace kestrel::audit {

using Digest = std::array<std::uint8_t, sha256::DIGEST_LEN>;

// RunningSha256: SHA-256 of a byte stream given in pieces of any size. A
// plain value: copy it to take the digest of a prefix and go on.
class RunningSha256 {
public:
    void update(const std::uint8_t* data, std::size_t size) noexcept;
    [[nodiscard]] Digest digest() const noexcept;  // of every byte so far; the stream goes on

private:
    sha256::ChainingValue chain_ = sha256::INITIAL;
    std::array<std::uint8_t, sha256::BLOCK_LEN> block_{};
    std::uint64_t length_ = 0;  // bytes taken in
};

enum class SealKind { Checkpoint, Final };

// SealKeys: the two seal keys of one boundary key. Wiped when it dies.
class SealKeys {
public:
    explicit SealKeys(const std::uint8_t key[KESTREL_KEY_LEN]) noexcept;
    ~SealKeys();
    SealKeys(const SealKeys&) = delete;
    SealKeys& operator=(const SealKeys&) = delete;

    // tag returns the tag of a seal of `kind` over `lines` lines whose bytes hash to `digest`.
    [[nodiscard]] Digest tag(SealKind kind, std::uint64_t lines, const Digest& digest) const noexcept;

private:
    Digest final_;
    Digest checkpoint_;
};

// hmac_sha256 returns HMAC-SHA-256 under a 32-byte key over `message`.
[[nodiscard]] Digest hmac_sha256(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t> message) noexcept;

}  // namespace kestrel::audit
