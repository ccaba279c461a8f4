# Checks that a shared library exports exactly the JNI entry points of the host classes.
# Arguments (-D): NM (the nm to use), LIBRARY (the file), EXPECTED (the names, comma-separated).
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND "${NM}" -D --defined-only --format=posix "${LIBRARY}"
  RESULT_VARIABLE status OUTPUT_VARIABLE listing ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${errors}")
endif()

set(exported "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
  # posix format: NAME TYPE VALUE SIZE; only code and data symbols count.
  if(line MATCHES "^([^ ]+) [TtDdBbRrWwVviu] ")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT exported)
string(REPLACE "," ";" EXPECTED "${EXPECTED}")
list(SORT EXPECTED)
if(NOT exported STREQUAL EXPECTED)
  string(REPLACE ";" "\n  " shown "${exported}")
  string(REPLACE ";" "\n  " wanted "${EXPECTED}")
  message(FATAL_ERROR "${LIBRARY} exports:\n  ${shown}\nexpected exactly:\n  ${wanted}")
endif()
list(LENGTH exported count)
message("${LIBRARY}: exports exactly the ${count} entry points")
