/* The three functions of the C library that libkestrel_receiver.a needs, so
 * that a firmware links no C library at all. Built without the optimisation
 * that turns such loops back into calls to themselves. */
#include <stddef.h>

void *memcpy(void *restrict to, const void *restrict from, size_t size) {
    unsigned char *t = to;
    const unsigned char *f = from;
    while (size-- != 0) *t++ = *f++;
    return to;
}

void *memset(void *to, int value, size_t size) {
    unsigned char *t = to;
    while (size-- != 0) *t++ = (unsigned char)value;
    return to;
}

int memcmp(const void *a, const void *b, size_t size) {
    const unsigned char *x = a, *y = b;
    for (; size != 0; --size, ++x, ++y) {
        if (*x != *y) return *x < *y ? -1 : 1;
    }
    return 0;
}
