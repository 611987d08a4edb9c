# A device library exports exactly the twelve functions of its ABI: nothing of
# the standard library or of our own code may leak into the program that
# binds it. Run with -DNM=... -DLIBRARY=... -DMAP=... (the version script).
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} RESULT_VARIABLE result OUTPUT_VARIABLE listing
                ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${errors}")
endif()

file(READ ${MAP} map)
string(REGEX MATCH "global:([^}]*)local:" globals "${map}")
string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*;" expected "${CMAKE_MATCH_1}")
list(TRANSFORM expected REPLACE ";$" "")
list(LENGTH expected count)
if(NOT count EQUAL 12)
  message(FATAL_ERROR "expected the twelve functions in ${MAP}, found ${count}: ${expected}")
endif()

# Lines are "address type name[@version]"; the version node of the script itself is no export.
string(REPLACE "\n" ";" lines "${listing}")
set(found)
foreach(line ${lines})
  if(line MATCHES "^[0-9a-fA-F]* +[A-Za-z] +([^@ ]+)")
    set(name ${CMAKE_MATCH_1})
    if(line MATCHES " [A] ")
      continue()
    endif()
    list(APPEND found ${name})
  endif()
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  set(extra ${found})
  list(REMOVE_ITEM extra ${expected})
  set(missing ${expected})
  list(REMOVE_ITEM missing ${found})
  message(FATAL_ERROR "${LIBRARY}: expected exactly the twelve exports; missing: ${missing}; extra: ${extra}")
endif()
