# Shared build settings and the one way every test and benchmark is registered.

# Warnings for all of our own code.
add_library(kestrel_warnings INTERFACE)
target_compile_options(kestrel_warnings INTERFACE -Wall -Wextra $<$<BOOL:${KESTREL_WERROR}>:-Werror>)

# Bit-exact single precision: no fused multiply-add, no fast-math, so every
# sum and product rounds exactly where the source says.
add_library(kestrel_strict_fp INTERFACE)
target_compile_options(kestrel_strict_fp INTERFACE -ffp-contract=off -fno-fast-math)

# kestrel_add_gtest(NAME [PREFIX text] SOURCES... LIBS... [INCLUDES dirs...])
# builds a GoogleTest executable and registers each of its tests with CTest,
# under its GoogleTest name preceded by PREFIX (for a second build of the same
# tests). A parameterised test is named by its case's name or index alone:
# with its printed parameter too, names ran past 120 characters.
function(kestrel_add_gtest name)
  if(NOT KESTREL_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "PREFIX" "SOURCES;LIBS;INCLUDES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${ARG_INCLUDES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main kestrel_warnings
                                        kestrel_strict_fp)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST TEST_PREFIX "${ARG_PREFIX}" NO_PRETTY_VALUES
                       PROPERTIES LABELS "cpp")
endfunction()

# kestrel_add_test(NAME LABEL label COMMAND command... [WORKING_DIRECTORY dir]
#                  [ENVIRONMENT VAR=value...] [PROPERTIES property value...])
# registers a test that runs a program (a check script, a C program, an
# emulator) and passes when it exits with 0, under LABEL, so that a preset or
# workflow can select it; PROPERTIES go to set_tests_properties as they are.
function(kestrel_add_test name)
  cmake_parse_arguments(ARG "" "LABEL;WORKING_DIRECTORY" "COMMAND;ENVIRONMENT;PROPERTIES" ${ARGN})
  if(NOT ARG_LABEL OR NOT ARG_COMMAND)
    message(FATAL_ERROR "kestrel_add_test(${name}): LABEL and COMMAND are required")
  endif()
  if(NOT ARG_WORKING_DIRECTORY)
    set(ARG_WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  add_test(NAME ${name} COMMAND ${ARG_COMMAND} WORKING_DIRECTORY ${ARG_WORKING_DIRECTORY})
  set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABEL}" ${ARG_PROPERTIES})
  if(ARG_ENVIRONMENT)
    set_property(TEST ${name} PROPERTY ENVIRONMENT ${ARG_ENVIRONMENT})
  endif()
endfunction()

# kestrel_add_benchmark(NAME SOURCES... LIBS...) builds a Google Benchmark
# executable (when the library is present) and hangs it under `benchmarks`.
if(NOT TARGET benchmarks)
  add_custom_target(benchmarks)
endif()
function(kestrel_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT TARGET benchmark::benchmark)
    message(STATUS "Google Benchmark not found: skipping ${name}")
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark kestrel_warnings kestrel_strict_fp)
  add_dependencies(benchmarks ${name})
endfunction()

# The environment in which Python runs the sanitized module: the ASan runtime
# must be the first library loaded, and the interpreter's own allocator is
# bypassed so that every allocation goes through ASan. CPython keeps much of
# its memory until exit, so leak reports are off for the interpreter.
set(KESTREL_PYTHON_SANITIZER_ENV "")
if(KESTREL_SANITIZE MATCHES "address")
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                  OUTPUT_VARIABLE KESTREL_LIBASAN OUTPUT_STRIP_TRAILING_WHITESPACE)
  # The C++ runtime is preloaded right after it: ASan intercepts __cxa_throw
  # only if libstdc++ is there when it starts, and a module that throws inside
  # (the description reader's parsers) would otherwise stop at ASan's check.
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++.so
                  OUTPUT_VARIABLE KESTREL_LIBSTDCXX OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(KESTREL_PYTHON_SANITIZER_ENV
      "LD_PRELOAD=${KESTREL_LIBASAN}:${KESTREL_LIBSTDCXX}" "PYTHONMALLOC=malloc" "ASAN_OPTIONS=detect_leaks=0"
      "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()

# kestrel_add_python_test(PATH) runs one unittest file, given relative to the
# calling directory, against the built module and package, as python.<file stem>.
# kestrel_add_python_test(NAME SCRIPT PATH [ARGS ...]) runs a script instead,
# as python.<NAME>, which passes when it exits with 0. Both get the same label
# and environment, so the sanitizer presets run them alike.
function(kestrel_add_python_test name)
  cmake_parse_arguments(ARG "" "SCRIPT" "ARGS" ${ARGN})
  if(ARG_SCRIPT)
    set(test_name python.${name})
    set(command ${Python_EXECUTABLE} ${ARG_SCRIPT} ${ARG_ARGS})
    set(directory ${CMAKE_CURRENT_BINARY_DIR})
  else()
    get_filename_component(stem ${name} NAME_WE)
    get_filename_component(folder ${name} DIRECTORY)
    set(test_name python.${stem})
    set(command ${Python_EXECUTABLE} -m unittest -v ${stem})
    set(directory ${CMAKE_CURRENT_SOURCE_DIR}/${folder})
  endif()
  kestrel_add_test(${test_name} LABEL python COMMAND ${command} WORKING_DIRECTORY ${directory}
    ENVIRONMENT "PYTHONPATH=$<TARGET_FILE_DIR:_kestrel>" PYTHONDONTWRITEBYTECODE=1 ${KESTREL_PYTHON_SANITIZER_ENV})
endfunction()
