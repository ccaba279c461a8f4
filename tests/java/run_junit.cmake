# Runs the JUnit console launcher in a JVM that checks JNI use, and fails when
#  - the JVM exits non-zero (a test failed, none was found, or the JVM aborted),
#  - -Xcheck:jni warned about a native method of the library's own classes (JNA's native code
#    draws warnings of its own; those are printed but not counted),
#  - the launcher's summary is missing or shows no successful test.
# Arguments (-D): JAVA, CLASSPATH (entries joined by '|'), TESTS_JAR (the jar whose tests run),
# PACKAGE (theirs), LIBRARY_DIR, VALUE_CASES,
# LOG, and optionally JNA_LIBRARY_DIR and JNA_BOOT_LIBRARY_DIR. MISSING fails with its text.
cmake_minimum_required(VERSION 3.25)

if(DEFINED MISSING)
  message(FATAL_ERROR "${MISSING}")
endif()
foreach(required JAVA CLASSPATH TESTS_JAR PACKAGE LIBRARY_DIR VALUE_CASES LOG)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "run_junit.cmake needs -D${required}=...")
  endif()
endforeach()

if(CMAKE_HOST_WIN32)
  string(REPLACE "|" ";" classpath "${CLASSPATH}")
else()
  string(REPLACE "|" ":" classpath "${CLASSPATH}")
endif()
set(jvm_args -Xcheck:jni "-Djava.library.path=${LIBRARY_DIR}" "-Dcvsreg.value.cases=${VALUE_CASES}")
if(JNA_LIBRARY_DIR)
  list(APPEND jvm_args "-Djna.library.path=${JNA_LIBRARY_DIR}")
endif()
if(JNA_BOOT_LIBRARY_DIR)
  list(APPEND jvm_args "-Djna.boot.library.path=${JNA_BOOT_LIBRARY_DIR}")
endif()
# The tests start from an empty emulated registry.
unset(ENV{REGEMU_IMPORT})

execute_process(
  COMMAND "${JAVA}" ${jvm_args} -cp "${classpath}" org.junit.platform.console.ConsoleLauncher
    --disable-banner --disable-ansi-colors --details=tree --details-theme=ascii --fail-if-no-tests
    # A jar made by add_jar has no folder entries, which package selection needs: scan it.
    --scan-classpath "${TESTS_JAR}" --include-package "${PACKAGE}"
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output ERROR_VARIABLE output
  ECHO_OUTPUT_VARIABLE ECHO_ERROR_VARIABLE)
file(WRITE "${LOG}" "${output}")

set(failures "")

# A warning is followed by the stack of the native method that drew it, innermost frame first.
# Semicolons separate CMake list items and brackets stop that: take them out before splitting.
string(REPLACE ";" "," text "${output}")
string(REPLACE "[" "(" text "${text}")
string(REPLACE "]" ")" text "${text}")
string(REGEX MATCHALL "WARNING[^\n]*\n[ \t]+at [^\n]*" warnings "${text}")
set(own_warnings 0)
foreach(warning IN LISTS warnings)
  if(warning MATCHES "\n[ \t]+at torvane\\.plexide\\.scm\\.cvs\\.native_\\.registry\\.[A-Za-z0-9_$]+\\.[A-Za-z0-9_$<>]+\\(")
    math(EXPR own_warnings "${own_warnings} + 1")
    string(APPEND failures "JNI warning in the library's native code:\n${warning}\n")
  endif()
endforeach()

if(NOT status EQUAL 0)
  string(APPEND failures "the JVM exited with ${status}\n")
endif()

# The launcher's summary: "[        12 tests successful      ]" and so on.
foreach(count found successful failed aborted skipped)
  if(output MATCHES "\\[ *([0-9]+) tests ${count} *\\]")
    set(tests_${count} ${CMAKE_MATCH_1})
  else()
    set(tests_${count} "")
  endif()
endforeach()
if(tests_successful STREQUAL "")
  string(APPEND failures "no JUnit summary in the output\n")
elseif(tests_successful EQUAL 0)
  string(APPEND failures "no test ran successfully\n")
else()
  math(EXPR not_run "${tests_aborted} + ${tests_skipped}")
  # The closing line CI reads for the counts.
  message("junit: ${tests_successful} passed, ${tests_failed} failed, ${not_run} skipped")
endif()

if(failures)
  message(FATAL_ERROR "${failures}(output kept in ${LOG})")
endif()
