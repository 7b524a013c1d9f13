# Cross compiling for a Cortex-M4 with its single-precision FPU, bare metal,
# with Debian's gcc-arm-none-eabi. Used by the mcu preset and by firmware
# projects that link libkestrel_receiver.a (examples/mcu).
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-none-eabi-gcc)
set(CMAKE_CXX_COMPILER arm-none-eabi-g++)

# Compiler checks compile without linking: there is no start-up code before a
# firmware brings its own.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# The C++ that reaches the chip throws nothing, asks nothing of run-time type
# information and guards no local static with a lock: none of the C++
# runtime, abort or the heap is linked. Each function in its own section, so
# a firmware keeps only what it calls.
set(kestrel_m4_flags "-mcpu=cortex-m4 -mthumb -mfpu=fpv4-sp-d16 -mfloat-abi=hard -ffunction-sections -fdata-sections")
set(CMAKE_C_FLAGS_INIT "${kestrel_m4_flags}")
set(CMAKE_CXX_FLAGS_INIT "${kestrel_m4_flags} -fno-exceptions -fno-rtti -fno-threadsafe-statics")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${kestrel_m4_flags} -Wl,--gc-sections")

# Headers and libraries of the target only; programs of the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
