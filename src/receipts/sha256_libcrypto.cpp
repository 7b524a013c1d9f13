// SHA-256 compression by libcrypto, which picks the CPU's SHA instructions
// where present: the hosts' default.
#include <openssl/sha.h>

#include <cstring>

#include "receipts/sha256.hpp"

namespace kestrel::sha256 {

static_assert(SHA256_CBLOCK == BLOCK_LEN && SHA256_DIGEST_LENGTH == DIGEST_LEN);

// SHA256_Transform is deprecated in OpenSSL 3 in favour of EVP_MD_CTX, which
// lives on the heap and hides the chaining value; a receipt needs the state
// as a plain value (no allocation per tag, key blocks compressed once), so
// the deprecation is silenced here and only here. The transform reads and
// writes only ctx.h.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

void compress(ChainingValue& chain, const std::uint8_t* block) noexcept {
    SHA256_CTX ctx;
    static_assert(sizeof ctx.h == sizeof chain.h);
    std::memcpy(ctx.h, chain.h.data(), sizeof ctx.h);
    SHA256_Transform(&ctx, block);
    std::memcpy(chain.h.data(), ctx.h, sizeof ctx.h);
}

void compress_blocks(ChainingValue& chain, const std::uint8_t* blocks, std::size_t count) noexcept {
    // With no byte pending in ctx, SHA256_Update hands every whole block to
    // the block function at once and keeps nothing back.
    SHA256_CTX ctx{};
    std::memcpy(ctx.h, chain.h.data(), sizeof ctx.h);
    SHA256_Update(&ctx, blocks, count * BLOCK_LEN);
    std::memcpy(chain.h.data(), ctx.h, sizeof ctx.h);
}

#pragma GCC diagnostic pop

}  // namespace kestrel::sha256
