/* Semihosting output and exit, and the measurement of one call. */
#include "board.h"

#include <stddef.h>

/* One semihosting request: operation in r0, argument in r1, the answer in r0. */
static uint32_t semihost(uint32_t operation, const void *argument) {
    register uint32_t r0 __asm__("r0") = operation;
    register const void *r1 __asm__("r1") = argument;
    __asm__ volatile("bkpt 0xab" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

enum { SYS_WRITE0 = 0x04, SYS_EXIT = 0x18 };
enum { ADP_APPLICATION_EXIT = 0x20026, ADP_RUN_TIME_ERROR = 0x20023 };

void board_print(const char *text) { semihost(SYS_WRITE0, text); }

void board_print_uint(uint64_t value) {
    char digits[21];
    char *at = digits + sizeof digits - 1;
    *at = '\0';
    do {
        *--at = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    board_print(at);
}

void board_exit(int success) {
    /* On 32-bit targets the reason itself is the argument. */
    semihost(SYS_EXIT, (const void *)(uintptr_t)(success ? ADP_APPLICATION_EXIT : ADP_RUN_TIME_ERROR));
    for (;;) {}
}

#define SYST_CSR    (*(volatile uint32_t *)0xE000E010u)
#define SYST_RVR    (*(volatile uint32_t *)0xE000E014u)
#define SYST_CVR    (*(volatile uint32_t *)0xE000E018u)
#define SYST_MASK   0xFFFFFFu
#define STACK_PAINT 0x5AC3A55Cu

extern uint32_t board_stack_bottom[];

/* SysTick ticks (processor clock, counting down) taken by call(context),
 * and the stack it used below this function's frame. */
static uint32_t ticks_of(void (*call)(void *), void *context, uint32_t *stack_bytes) {
    uint32_t *sp;
    __asm__ volatile("mov %0, sp" : "=r"(sp));
    for (volatile uint32_t *p = board_stack_bottom; p < sp; ++p) *p = STACK_PAINT;
    SYST_RVR = SYST_MASK;
    SYST_CVR = 0;
    SYST_CSR = 5; /* enabled, processor clock, no interrupt */
    const uint32_t start = SYST_CVR;
    call(context);
    const uint32_t end = SYST_CVR;
    SYST_CSR = 0;
    const uint32_t *deepest = board_stack_bottom;
    while (deepest < sp && *deepest == STACK_PAINT) ++deepest;
    *stack_bytes = (uint32_t)((const char *)sp - (const char *)deepest);
    return (start - end) & SYST_MASK;
}

/* Exactly 2 instructions per round: the known workload that gives the
 * instructions per tick. */
static void spin(void *rounds) {
    uint32_t n = (uint32_t)(uintptr_t)rounds;
    __asm__ volatile("1: subs %0, %0, #1\n\tbne 1b" : "+r"(n));
}

enum { SPIN_ROUNDS = 100000 };

uint32_t board_measure(void (*call)(void *), void *context, uint32_t *stack_bytes) {
    static uint32_t spin_ticks;
    if (spin_ticks == 0) spin_ticks = ticks_of(spin, (void *)(uintptr_t)SPIN_ROUNDS, stack_bytes);
    const uint32_t ticks = ticks_of(call, context, stack_bytes);
    return (uint32_t)((uint64_t)ticks * (2u * SPIN_ROUNDS) / spin_ticks);
}
