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

#include "keys/key.hpp"
#include "receipts/hmac.hpp"
#include "receipts/sha256.hpp"

namespace kestrel::audit {

using Digest = sha256::Digest;

// The running SHA-256 of the log's bytes.
using RunningSha256 = sha256::Running;

enum class SealKind { Checkpoint, Final };

// SealKeys: the two seal keys of one boundary key, primed for HMAC. Wiped
// when it dies.
class SealKeys {
public:
    explicit SealKeys(const Key& key) noexcept;
    SealKeys(const SealKeys&) = delete;
    SealKeys& operator=(const SealKeys&) = delete;

    // tag returns the tag of a seal of `kind` over `lines` lines whose bytes hash to `digest`.
    [[nodiscard]] Digest tag(SealKind kind, std::uint64_t lines, const Digest& digest) const noexcept;

private:
    HmacKeyState final_;
    HmacKeyState checkpoint_;
};

}  // namespace kestrel::audit
