# cmake -DSIZE=<arm-none-eabi-size> -DLIBRARY=<libkestrel_receiver.a>
#       -DOBJECTS=<its objects> -DMAX_CODE=<bytes> -P receiver_size.cmake
#
# Prints the receiver's code and data on the chip and the deepest stack of a
# guard check, from the frames and calls GCC records beside each object
# (-fcallgraph-info=su); fails when the code exceeds MAX_CODE.
execute_process(COMMAND ${SIZE} -t ${LIBRARY} OUTPUT_VARIABLE table COMMAND_ERROR_IS_FATAL ANY)
if(NOT table MATCHES "\n *([0-9]+)[ \t]+([0-9]+)[ \t]+([0-9]+)[ \t]+[0-9]+[ \t]+[0-9a-f]+[ \t]+\\(TOTALS\\)")
  message(FATAL_ERROR "no totals in the output of ${SIZE}:\n${table}")
endif()
set(code ${CMAKE_MATCH_1})
message("receiver code (text and read-only data): ${code} bytes; data ${CMAKE_MATCH_2}, bss ${CMAKE_MATCH_3}")

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

deepest(kestrel_receipt_guard_check stack)
set(lines "")
foreach(function kestrel_receipt_guard_check ${path_kestrel_receipt_guard_check})
  string(REGEX REPLACE "\\\\n.*" "" label "${label_${function}}")
  string(APPEND lines "\n  ${frame_${function}} bytes: ${label}")
endforeach()
message("deepest stack of kestrel_receipt_guard_check: ${stack} bytes${lines}")

if(code GREATER MAX_CODE)
  message(FATAL_ERROR "the receiver's code is ${code} bytes, over its limit of ${MAX_CODE}")
endif()
