# Checks a built CVSWin32RegKey.dll: it exports the JNI entry points under their plain names
# (a 32-bit JVM finds those too; an @-decorated export it would not) and nothing else, it
# imports from system DLLs only, so it loads on a bare Windows, and nothing of it runs when it
# is loaded or when a thread starts or ends: no entry point, no TLS directory or callbacks, no
# C runtime initializer sections (.CRT$XI*/XC*/XL*, .ctors).
#   cmake -DOBJDUMP=<mingw objdump> -DDLL=<path> -P CheckDllTables.cmake

cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed (${rc})")
endif()

set(prefix "Java_torvane_plexide_scm_cvs_native_1_registry_")
set(required
  ${prefix}CVSWin32RegKey_getValue
  ${prefix}CVSWin32RegKey_setValue
  ${prefix}CVSWin32RegKeyNameIterator_hasNext
  ${prefix}CVSWin32RegKeyNameIterator_next)
set(optional ${prefix}CVSWin32RegKeyNameIterator_close)

# Export names: the "[Ordinal/Name Pointer] Table" lines, "\t[   0] name".
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(([ \t]+\\[[ 0-9]+\\][^\n]*\n)*)" table "${dump}")
string(REGEX MATCHALL "\\[[ 0-9]+\\] [^\n]+" rows "${CMAKE_MATCH_1}")
set(exports "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\\[[ 0-9]+\\] " "" name "${row}")
  string(STRIP "${name}" name)
  list(APPEND exports "${name}")
endforeach()

set(problems "")
foreach(name IN LISTS required)
  if(NOT name IN_LIST exports)
    list(APPEND problems "missing export ${name}")
  endif()
endforeach()
foreach(name IN LISTS exports)
  if(name MATCHES "@")
    list(APPEND problems "decorated export ${name}")
  elseif(NOT name IN_LIST required AND NOT name IN_LIST optional)
    list(APPEND problems "unexpected export ${name}")
  endif()
endforeach()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
set(allowed advapi32.dll kernel32.dll msvcrt.dll)
set(imported "")
foreach(line IN LISTS imports)
  string(REGEX REPLACE "DLL Name: " "" dll "${line}")
  string(STRIP "${dll}" dll)
  list(APPEND imported "${dll}")
  string(TOLOWER "${dll}" lower)
  if(NOT lower IN_LIST allowed)
    list(APPEND problems "imports ${dll}")
  endif()
endforeach()

# Code run by the loader: the entry point, and the TLS directory with its callbacks.
if(NOT dump MATCHES "AddressOfEntryPoint[ \t]+0+\n")
  string(REGEX MATCH "AddressOfEntryPoint[^\n]*" entry "${dump}")
  list(APPEND problems "has an entry point (${entry})")
endif()
if(NOT dump MATCHES "Entry 9 0+ 0+ Thread Storage Directory")
  string(REGEX MATCH "Entry 9 [^\n]*" tls "${dump}")
  list(APPEND problems "has a TLS directory (${tls})")
endif()
execute_process(COMMAND ${OBJDUMP} -h ${DLL} OUTPUT_VARIABLE sections RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -h ${DLL} failed (${rc})")
endif()
string(REGEX MATCHALL "\n +[0-9]+ [^ \n]+" section_rows "${sections}")
set(section_names "")
foreach(row IN LISTS section_rows)
  string(REGEX REPLACE "^\n +[0-9]+ " "" section "${row}")
  list(APPEND section_names "${section}")
  if(section MATCHES "^\\.(tls|CRT|ctors|dtors|init_array)")
    list(APPEND problems "has a section ${section} of code run at load")
  endif()
endforeach()

message(STATUS "sections: ${section_names}")
message(STATUS "exports: ${exports}")
message(STATUS "imports: ${imported}")
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "${DLL}:\n  ${text}")
endif()
