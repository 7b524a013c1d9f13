# Runs one libFuzzer target for a fixed time: cmake -DFUZZER=... -DSEEDS=...
# -DWORK=... -DSECONDS=... -DMAX_LEN=... -P run_fuzzer.cmake
#
# WORK is emptied first and receives the inputs found in this run (the seed
# directory is only read) and, on failure, the crashing input.
foreach(var FUZZER SEEDS WORK SECONDS MAX_LEN)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run_fuzzer.cmake: ${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/corpus ${WORK}/artifacts)
execute_process(
  COMMAND ${FUZZER} -max_total_time=${SECONDS} -max_len=${MAX_LEN} -print_final_stats=1
          -artifact_prefix=${WORK}/artifacts/ ${WORK}/corpus ${SEEDS}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(GLOB artifacts ${WORK}/artifacts/*)
  message(FATAL_ERROR "${FUZZER} failed (${result}); inputs kept: ${artifacts}")
endif()
