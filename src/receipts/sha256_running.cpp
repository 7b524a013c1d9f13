#include "receipts/sha256.hpp"

namespace kestrel::sha256 {

void Running::update(const std::uint8_t* data, std::size_t size) noexcept {
    if (size == 0) return;
    std::size_t pending = length_ % BLOCK_LEN;
    length_ += size;
    if (pending != 0) {
        const std::size_t take = size < BLOCK_LEN - pending ? size : BLOCK_LEN - pending;
        std::memcpy(block_.data() + pending, data, take);
        data += take;
        size -= take;
        pending += take;
        if (pending < BLOCK_LEN) return;
        compress(chain_, block_.data());
    }
    const std::size_t blocks = size / BLOCK_LEN;
    if (blocks != 0) compress_blocks(chain_, data, blocks);
    data += blocks * BLOCK_LEN;
    size -= blocks * BLOCK_LEN;
    if (size != 0) std::memcpy(block_.data(), data, size);
}

Digest Running::digest() const noexcept {
    ChainingValue chain = chain_;
    std::array<std::uint8_t, BLOCK_LEN> block = block_;
    finish(chain, block.data(), length_ % BLOCK_LEN, length_);
    Digest out;
    store_digest(chain, out.data());
    return out;
}

}  // namespace kestrel::sha256
