# cmake -DSIZE=<arm-none-eabi-size> -DLIBRARY=<libkestrel_receiver.a>
#       -DOBJECTS=<its objects> -DMAX_CODE=<bytes> -DMAX_MONITOR_CODE=<bytes> -P receiver_size.cmake
#
# Prints the receiver's code and data on the chip and the deepest stack of a
# guard check, then the same of the monitor (its objects, the braking law and
# the limits' rules under it) and of a monitor check, from the frames and
# calls GCC records beside each object (-fcallgraph-info=su); fails when the
# receiver's code exceeds MAX_CODE or the monitor's MAX_MONITOR_CODE.
execute_process(COMMAND ${SIZE} -t ${LIBRARY} OUTPUT_VARIABLE table COMMAND_ERROR_IS_FATAL ANY)
if(NOT table MATCHES "\n *([0-9]+)[ \t]+([0-9]+)[ \t]+([0-9]+)[ \t]+[0-9]+[ \t]+[0-9a-f]+[ \t]+\\(TOTALS\\)")
  message(FATAL_ERROR "no totals in the output of ${SIZE}:\n${table}")
endif()
set(total ${CMAKE_MATCH_1})
set(data "data ${CMAKE_MATCH_2}, bss ${CMAKE_MATCH_3}")
# The monitor's share: its objects, by name.
set(monitor_code 0)
string(REPLACE "\n" ";" rows "${table}")
foreach(row IN LISTS rows)
  if(row MATCHES "^ *([0-9]+)[ \t]+[0-9]+[ \t]+[0-9]+[ \t]+[0-9]+[ \t]+[0-9a-f]+[ \t]+(monitor|monitor_rules|monitor_c|braking_law|limiter_state)\\.cpp\\.")
    math(EXPR monitor_code "${monitor_code} + ${CMAKE_MATCH_1}")
  endif()
endforeach()
math(EXPR code "${total} - ${monitor_code}")
message("receiver code (text and read-only data): ${code} bytes; ${data}")
message("monitor code (the monitor, the braking law, the limits' rules): ${monitor_code} bytes")

# The call graph: frame_<function> in bytes, calls_<function> its callees.
foreach(object IN LISTS OBJECTS)
  string(REGEX REPLACE "\\.o(bj)?$" ".ci" graph ${object})
  file(STRINGS ${graph} lines)
  foreach(line IN LISTS lines)
    if(line MATCHES "^node: { title: \"([^\"]+)\" label: \"([^\"]*)\\\\n([0-9]+) bytes \\(static\\)\"")
      set(frame_${CMAKE_MATCH_1} ${CMAKE_MATCH_3})
      set(label_${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
    elseif(line MATCHES "^edge: { sourcename: \"([^\"]+)\" targetname: \"([^\"]+)\"")
      list(APPEND calls_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
    endif()
  endforeach()
endforeach()

# deepest(FUNCTION OUT): the most stack FUNCTION and what it calls can take
# (functions outside the library, memcpy and the like, count 0), and in
# path_<FUNCTION> the calls down that path.
function(deepest function out)
  set(best 0)
  set(path "")
  foreach(callee IN LISTS calls_${function})
    deepest(${callee} depth)
    if(depth GREATER best)
      set(best ${depth})
      set(path ${callee} ${path_${callee}})
    endif()
  endforeach()
  set(frame 0)
  if(DEFINED frame_${function})
    set(frame ${frame_${function}})
  endif()
  math(EXPR total "${frame} + ${best}")
  set(${out} ${total} PARENT_SCOPE)
  set(path_${function} ${path} PARENT_SCOPE)
endfunction()

foreach(entry kestrel_receipt_guard_check kestrel_monitor_check)
  deepest(${entry} stack)
  set(lines "")
  foreach(function ${entry} ${path_${entry}})
    string(REGEX REPLACE "\\\\n.*" "" label "${label_${function}}")
    string(APPEND lines "\n  ${frame_${function}} bytes: ${label}")
  endforeach()
  message("deepest stack of ${entry}: ${stack} bytes${lines}")
endforeach()

if(code GREATER MAX_CODE)
  message(FATAL_ERROR "the receiver's code is ${code} bytes, over its limit of ${MAX_CODE}")
endif()
if(monitor_code GREATER MAX_MONITOR_CODE)
  message(FATAL_ERROR "the monitor's code is ${monitor_code} bytes, over its limit of ${MAX_MONITOR_CODE}")
endif()
