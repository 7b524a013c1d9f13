#include "audit/log_hash.hpp"
#include "keys/wipe.hpp"

#include <cstring>
#include <string_view>

#include "receipts/byte_order.hpp"

namespace kestrel::audit {

void RunningSha256::update(const std::uint8_t* data, std::size_t size) noexcept {
    std::size_t pending = length_ % sha256::BLOCK_LEN;
    length_ += size;
    if (pending != 0) {
        const std::size_t take = size < sha256::BLOCK_LEN - pending ? size : sha256::BLOCK_LEN - pending;
        std::memcpy(block_.data() + pending, data, take);
        data += take;
        size -= take;
        pending += take;
        if (pending < sha256::BLOCK_LEN) return;
        sha256::compress(chain_, block_.data());
    }
    const std::size_t blocks = size / sha256::BLOCK_LEN;
    sha256::compress_blocks(chain_, data, blocks);
    data += blocks * sha256::BLOCK_LEN;
    size -= blocks * sha256::BLOCK_LEN;
    if (size != 0) std::memcpy(block_.data(), data, size);
}

Digest RunningSha256::digest() const noexcept {
    RunningSha256 last = *this;
    const std::uint64_t bits = length_ * 8;
    std::uint8_t padding[sha256::BLOCK_LEN + 8] = {0x80};
    const std::size_t pending = length_ % sha256::BLOCK_LEN;
    const std::size_t zeros = (pending < 56 ? 56 - pending : 120 - pending);
    byte_order::store_be64(padding + zeros, bits);
    last.update(padding, zeros + 8);
    Digest out;
    for (std::size_t i = 0; i < 8; ++i) byte_order::store_be32(out.data() + 4 * i, last.chain_.h[i]);
    return out;
}

Digest hmac_sha256(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t> message) noexcept {
    std::array<std::uint8_t, sha256::BLOCK_LEN> pad{};
    RunningSha256 inner;
    RunningSha256 outer;
    const auto key_block = [&](std::uint8_t mask) {
        for (std::size_t i = 0; i < pad.size(); ++i) {
            pad[i] = static_cast<std::uint8_t>((i < key.size() ? key[i] : 0) ^ mask);
        }
    };
    key_block(0x36);
    inner.update(pad.data(), pad.size());
    key_block(0x5c);
    outer.update(pad.data(), pad.size());
    wipe(pad.data(), pad.size());
    inner.update(message.data(), message.size());
    const Digest inner_digest = inner.digest();
    outer.update(inner_digest.data(), inner_digest.size());
    Digest tag = outer.digest();
    wipe(&inner, sizeof inner);  // a chaining value after a key block is as good as the key
    wipe(&outer, sizeof outer);
    return tag;
}

namespace {

Digest derive(const std::uint8_t key[KESTREL_KEY_LEN], std::string_view label) noexcept {
    return hmac_sha256(std::span<const std::uint8_t, 32>(key, 32),
                       {reinterpret_cast<const std::uint8_t*>(label.data()), label.size()});
}

}  // namespace

SealKeys::SealKeys(const std::uint8_t key[KESTREL_KEY_LEN]) noexcept
    : final_(derive(key, "kestrel receipt log seal")), checkpoint_(derive(key, "kestrel receipt log checkpoint")) {}

SealKeys::~SealKeys() {
    wipe(final_.data(), final_.size());
    wipe(checkpoint_.data(), checkpoint_.size());
}

Digest SealKeys::tag(SealKind kind, std::uint64_t lines, const Digest& digest) const noexcept {
    std::array<std::uint8_t, 8 + sha256::DIGEST_LEN> message;
    byte_order::store_le64(message.data(), lines);
    std::memcpy(message.data() + 8, digest.data(), digest.size());
    return hmac_sha256(kind == SealKind::Final ? final_ : checkpoint_, message);
}

}  // namespace kestrel::audit
