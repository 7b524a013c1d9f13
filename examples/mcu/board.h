/*
 * board.h - the little a test firmware needs from the MPS2 AN386 board
 * (Cortex-M4) under QEMU: text out and an exit status through semihosting,
 * an instruction count, and the stack depth of a call.
 */
#ifndef KESTREL_BOARD_H
#define KESTREL_BOARD_H

#include <stdint.h>

/* Writes text to the host's standard output (QEMU -semihosting). */
void board_print(const char *text);

/* Writes value in decimal. */
void board_print_uint(uint64_t value);

/* Ends the emulation with exit status 0 (success) or 1 (anything else). */
void board_exit(int success) __attribute__((noreturn));

/* Runs call(context) and returns the instructions it executed and, in
 * *stack_bytes, how many bytes of stack below the caller's it used. The count
 * holds only under QEMU's -icount shift=BOARD_ICOUNT_SHIFT, where the
 * virtual clock advances 2^shift ns per instruction; it comes from SysTick
 * and is exact to within one tick (25 MHz: 40 ns, 5 instructions). */
#define BOARD_ICOUNT_SHIFT 3
uint32_t board_measure(void (*call)(void *context), void *context, uint32_t *stack_bytes);

#endif /* KESTREL_BOARD_H */
