/* Reset and fault handling of the MPS2 AN386 board (Cortex-M4F). */
#include <stdint.h>
#include <string.h>

#include "board.h"

int main(void);

extern uint32_t board_data_start[], board_data_end[], board_data_load[];
extern uint32_t board_bss_start[], board_bss_end[], board_stack_top[];

#define CPACR (*(volatile uint32_t *)0xE000ED88u)

void board_reset(void) {
    /* Full access to the FPU (coprocessors 10 and 11) before any floating
     * point instruction: the hard-float calls pass doubles in its registers. */
    CPACR |= 0xFu << 20;
    __asm__ volatile("dsb\n\tisb" ::: "memory");
    memcpy(board_data_start, board_data_load, (size_t)((char *)board_data_end - (char *)board_data_start));
    memset(board_bss_start, 0, (size_t)((char *)board_bss_end - (char *)board_bss_start));
    board_exit(main() == 0);
}

static void board_fault(void) {
    board_print("fault: the firmware stopped\n");
    board_exit(0);
}

/* Initial stack pointer, then the handlers of the core's exceptions. */
__attribute__((section(".vectors"), used)) static void *const vectors[16] = {
    board_stack_top,
    (void *)board_reset,
    (void *)board_fault,
    (void *)board_fault,
    (void *)board_fault,
    (void *)board_fault,
    (void *)board_fault,
    0,
    0,
    0,
    0,
    (void *)board_fault,
    (void *)board_fault,
    0,
    (void *)board_fault,
    (void *)board_fault,
};
