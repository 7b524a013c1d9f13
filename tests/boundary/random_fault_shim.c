/* A test-only LD_PRELOAD library that takes away or breaks the random
 * sources one by one, so that the tests can drive the module through every
 * fallback without the module reading any setting of its own.
 *
 * KESTREL_RANDOM_FAULTS is a comma-separated list of:
 *   no-vdso            getauxval(AT_SYSINFO_EHDR) reports no vDSO
 *   no-vdso-state      mmap of a droppable mapping (a vDSO state) fails
 *   getrandom-enosys   getrandom fails with ENOSYS (a kernel without it)
 *   getrandom-eio      getrandom fails with EIO
 *   getrandom-zero     getrandom returns 0 bytes
 *   urandom-eacces     opening /dev/urandom fails with EACCES
 * The counters below let a test see which source served its calls. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/types.h>

#ifndef MAP_DROPPABLE
#define MAP_DROPPABLE 0x08
#endif

__attribute__((visibility("default"))) unsigned long kestrel_shim_getrandom_calls;
__attribute__((visibility("default"))) unsigned long kestrel_shim_urandom_opens;

static int has_fault(const char *name) {
    const char *faults = getenv("KESTREL_RANDOM_FAULTS");
    if (faults == NULL) return 0;
    const size_t length = strlen(name);
    for (const char *p = faults; (p = strstr(p, name)) != NULL; p += length) {
        const int starts = p == faults || p[-1] == ',';
        const int ends = p[length] == '\0' || p[length] == ',';
        if (starts && ends) return 1;
    }
    return 0;
}

__attribute__((visibility("default"))) unsigned long getauxval(unsigned long type) {
    static unsigned long (*real)(unsigned long);
    if (real == NULL) real = (unsigned long (*)(unsigned long))dlsym(RTLD_NEXT, "getauxval");
    if (type == AT_SYSINFO_EHDR && has_fault("no-vdso")) return 0;
    return real(type);
}

__attribute__((visibility("default"))) void *mmap(void *addr, size_t length, int prot, int flags, int fd,
                                                  off_t offset) {
    static void *(*real)(void *, size_t, int, int, int, off_t);
    if (real == NULL) real = (void *(*)(void *, size_t, int, int, int, off_t))dlsym(RTLD_NEXT, "mmap");
    if ((flags & MAP_TYPE) == MAP_DROPPABLE && has_fault("no-vdso-state")) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    return real(addr, length, prot, flags, fd, offset);
}

__attribute__((visibility("default"))) ssize_t getrandom(void *buffer, size_t length, unsigned int flags) {
    static ssize_t (*real)(void *, size_t, unsigned int);
    if (real == NULL) real = (ssize_t(*)(void *, size_t, unsigned int))dlsym(RTLD_NEXT, "getrandom");
    ++kestrel_shim_getrandom_calls;
    if (has_fault("getrandom-enosys")) {
        errno = ENOSYS;
        return -1;
    }
    if (has_fault("getrandom-eio")) {
        errno = EIO;
        return -1;
    }
    if (has_fault("getrandom-zero")) return 0;
    return real(buffer, length, flags);
}

static int open_with(const char *symbol, const char *path, int flags, va_list args) {
    int (*real)(const char *, int, ...) = (int (*)(const char *, int, ...))dlsym(RTLD_NEXT, symbol);
    const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(args, mode_t) : 0;
    if (strcmp(path, "/dev/urandom") == 0) {
        ++kestrel_shim_urandom_opens;
        if (has_fault("urandom-eacces")) {
            errno = EACCES;
            return -1;
        }
    }
    return real(path, flags, mode);
}

__attribute__((visibility("default"))) int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = open_with("open", path, flags, args);
    va_end(args);
    return fd;
}

__attribute__((visibility("default"))) int open64(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = open_with("open64", path, flags, args);
    va_end(args);
    return fd;
}
