// The kernel's random generator as the vDSO offers it (Linux 6.11 and later):
// __vdso_getrandom fills a buffer from a per-caller opaque state without
// entering the kernel, reseeding itself whenever the kernel says so (after a
// fork, a resume, a reseed of the kernel's pool).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kestrel {

// ssize_t __vdso_getrandom(void* buffer, size_t len, unsigned int flags,
//                          void* opaque_state, size_t opaque_len):
// the number of bytes written, or a negative errno value.
using VdsoGetrandomFn = ssize_t (*)(void* buffer, std::size_t len, unsigned int flags, void* opaque_state,
                                    std::size_t opaque_len);

// The entry point and how to allocate a state for it, as the vDSO's own
// parameter query reports them. A state serves one caller at a time.
struct VdsoGetrandom {
    VdsoGetrandomFn call;
    std::uint32_t state_size;  // bytes of one opaque state (opaque_len of every call)
    std::uint32_t mmap_prot;   // protection and flags to mmap a state with
    std::uint32_t mmap_flags;
};

// vdso_getrandom finds __vdso_getrandom in this process's vDSO (through
// getauxval(AT_SYSINFO_EHDR) and the vDSO's dynamic symbol table) and asks it
// for its state parameters, once per process. nullptr when there is no vDSO,
// the symbol is missing, or the parameter query fails.
const VdsoGetrandom* vdso_getrandom() noexcept;

}  // namespace kestrel
