#include "boundary/vdso_getrandom.hpp"

#include <elf.h>
#include <link.h>
#include <sys/auxv.h>

#include <cstring>

namespace kestrel {

namespace {

constexpr char kSymbol[] = "__vdso_getrandom";

// The vDSO's dynamic tables, as addresses in this process.
struct DynamicTables {
    const ElfW(Sym) * symbols = nullptr;
    const char* strings = nullptr;
    const ElfW(Word) * hash = nullptr;      // DT_HASH: nbucket, nchain, ...
    const ElfW(Word) * gnu_hash = nullptr;  // DT_GNU_HASH
};

// The number of dynamic symbols. DT_HASH states it (nchain); DT_GNU_HASH only
// implies it: one past the last symbol of the longest chain from any bucket.
std::size_t symbol_count(const DynamicTables& tables) noexcept {
    if (tables.hash != nullptr) return tables.hash[1];
    if (tables.gnu_hash == nullptr) return 0;
    const ElfW(Word) nbuckets = tables.gnu_hash[0];
    const ElfW(Word) symoffset = tables.gnu_hash[1];
    const ElfW(Word) bloom_size = tables.gnu_hash[2];
    const auto* buckets =
        reinterpret_cast<const ElfW(Word)*>(reinterpret_cast<const ElfW(Addr)*>(tables.gnu_hash + 4) + bloom_size);
    const ElfW(Word)* chains = buckets + nbuckets;
    ElfW(Word) last = 0;
    for (ElfW(Word) b = 0; b < nbuckets; ++b) {
        if (buckets[b] > last) last = buckets[b];
    }
    if (last < symoffset) return symoffset;
    while ((chains[last - symoffset] & 1u) == 0) ++last;  // the low bit ends a chain
    return last + 1;
}

VdsoGetrandomFn find_symbol() noexcept {
    const auto base = static_cast<ElfW(Addr)>(getauxval(AT_SYSINFO_EHDR));
    if (base == 0) return nullptr;
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(base);
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS64) {
        return nullptr;
    }

    // The load bias turns the image's virtual addresses into this process's.
    const auto* segments = reinterpret_cast<const ElfW(Phdr)*>(base + header->e_phoff);
    const ElfW(Dyn)* dynamic = nullptr;
    ElfW(Addr) bias = 0;
    bool loaded = false;
    for (ElfW(Half) i = 0; i < header->e_phnum; ++i) {
        if (segments[i].p_type == PT_LOAD && !loaded) {
            bias = base + segments[i].p_offset - segments[i].p_vaddr;
            loaded = true;
        } else if (segments[i].p_type == PT_DYNAMIC) {
            dynamic = reinterpret_cast<const ElfW(Dyn)*>(base + segments[i].p_offset);
        }
    }
    if (!loaded || dynamic == nullptr) return nullptr;

    DynamicTables tables;
    for (const ElfW(Dyn)* entry = dynamic; entry->d_tag != DT_NULL; ++entry) {
        const ElfW(Addr) address = entry->d_un.d_ptr + bias;
        switch (entry->d_tag) {
            case DT_SYMTAB:
                tables.symbols = reinterpret_cast<const ElfW(Sym)*>(address);
                break;
            case DT_STRTAB:
                tables.strings = reinterpret_cast<const char*>(address);
                break;
            case DT_HASH:
                tables.hash = reinterpret_cast<const ElfW(Word)*>(address);
                break;
            case DT_GNU_HASH:
                tables.gnu_hash = reinterpret_cast<const ElfW(Word)*>(address);
                break;
            default:
                break;
        }
    }
    if (tables.symbols == nullptr || tables.strings == nullptr) return nullptr;

    const std::size_t count = symbol_count(tables);
    for (std::size_t i = 0; i < count; ++i) {
        const ElfW(Sym)& symbol = tables.symbols[i];
        if (ELF64_ST_TYPE(symbol.st_info) != STT_FUNC || symbol.st_shndx == SHN_UNDEF) continue;
        const unsigned char binding = ELF64_ST_BIND(symbol.st_info);
        if (binding != STB_GLOBAL && binding != STB_WEAK) continue;
        if (std::strcmp(tables.strings + symbol.st_name, kSymbol) != 0) continue;
        return reinterpret_cast<VdsoGetrandomFn>(symbol.st_value + bias);
    }
    return nullptr;
}

// The layout the parameter query fills in.
struct OpaqueParams {
    std::uint32_t size_of_opaque_state;
    std::uint32_t mmap_prot;
    std::uint32_t mmap_flags;
    std::uint32_t reserved[13];
};

VdsoGetrandom probe() noexcept {
    VdsoGetrandom found{nullptr, 0, 0, 0};
    const VdsoGetrandomFn call = find_symbol();
    if (call == nullptr) return found;
    // (NULL, 0, 0, &params, ~0UL) asks for the parameters instead of bytes.
    OpaqueParams params{};
    if (call(nullptr, 0, 0, &params, ~std::size_t{0}) != 0 || params.size_of_opaque_state == 0) return found;
    found.call = call;
    found.state_size = params.size_of_opaque_state;
    found.mmap_prot = params.mmap_prot;
    found.mmap_flags = params.mmap_flags;
    return found;
}

}  // namespace

const VdsoGetrandom* vdso_getrandom() noexcept {
    static const VdsoGetrandom found = probe();  // thread-safe, once per process
    return found.call != nullptr ? &found : nullptr;
}

}  // namespace kestrel
