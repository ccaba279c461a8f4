# Runs the example registry tool through examples/run-example.sh against the emulated registry
# seeded from examples/repositories.reg, and checks what it prints and how it exits.
# Arguments (-D): BASH, SCRIPT, BUILD_DIR.
cmake_minimum_required(VERSION 3.25)

set(ENV{CVSREG_BUILD_DIR} "${BUILD_DIR}")
# The script's own default, examples/repositories.reg, seeds the registry.
unset(ENV{REGEMU_IMPORT})

set(failures 0)
# expect(STATUS STDOUT STDERR ARGS...): STDOUT must equal the printed text (newline trimmed),
# STDERR must occur in what the tool wrote to standard error ("" to skip that check). A last
# argument <empty> passes an empty argument, which a CMake list cannot hold.
function(expect status stdout stderr)
  set(args ${ARGN})
  if(args MATCHES "<empty>$")
    list(POP_BACK args)
    execute_process(COMMAND "${BASH}" "${SCRIPT}" ${args} ""
      RESULT_VARIABLE actual_status OUTPUT_VARIABLE actual_stdout ERROR_VARIABLE actual_stderr
      OUTPUT_STRIP_TRAILING_WHITESPACE)
  else()
    execute_process(COMMAND "${BASH}" "${SCRIPT}" ${args}
      RESULT_VARIABLE actual_status OUTPUT_VARIABLE actual_stdout ERROR_VARIABLE actual_stderr
      OUTPUT_STRIP_TRAILING_WHITESPACE)
  endif()
  set(problems "")
  if(NOT actual_status STREQUAL "${status}")
    string(APPEND problems "  exit status ${actual_status}, expected ${status}\n")
  endif()
  if(NOT actual_stdout STREQUAL "${stdout}")
    string(APPEND problems "  printed \"${actual_stdout}\", expected \"${stdout}\"\n")
  endif()
  if(NOT stderr STREQUAL "")
    string(FIND "${actual_stderr}" "${stderr}" at)
    if(at EQUAL -1)
      string(APPEND problems "  standard error lacks \"${stderr}\"\n")
    endif()
  endif()
  if(problems)
    message("FAIL: ${ARGN}\n${problems}  standard error: ${actual_stderr}")
    math(EXPR count "${failures} + 1")
    set(failures ${count} PARENT_SCOPE)
  else()
    message("ok: ${ARGN} -> ${actual_stdout}")
  endif()
endfunction()

set(cvs "HKCU\\Software\\Torvane\\Plexide\\CVS")
expect(0 "String: A?7%Zq,c)Yx" ""
  get "${cvs}\\Passwords" ":pserver:anonymous@cvs.example.org:/cvsroot/project")
expect(0 "String: A<3Mk_'!pL2" ""
  get "HKEY_CURRENT_USER\\Software\\Torvane\\Plexide\\CVS\\Passwords"
  ":pserver:jdoe@cvs.example.net:2401/var/cvs/tools")
expect(0 "Integer: 3" "" get "${cvs}\\Settings" CompressionLevel)
expect(0 "byte[]: 2c 00 00 00 02 00 00 00 0a 1b ff 7f" "" get "${cvs}\\Settings" WindowPlacement)
expect(0 "String: Plexide CVS client" "" get "${cvs}" <empty>)
expect(1 "" "query value key failed" get "${cvs}\\Passwords" ":pserver:nobody@cvs.example.org:/none")
expect(1 "" "open key failed" get "${cvs}\\NoSuchKey" CompressionLevel)
expect(2 "" "no command given")
expect(2 "" "unknown command" fetch "${cvs}" CompressionLevel)
expect(2 "" "get takes 2 arguments" get "${cvs}")
expect(2 "" "unknown root key" get "HKXX\\Software" CompressionLevel)

# Writing and deleting: the emulated registry lives as long as the run, so each check writes and
# reads back within one run, commands separated by --.
set(settings "${cvs}\\Settings")
expect(0 "Integer: 7" "" set "${settings}" Retries number:7 -- get "${settings}" Retries)
expect(0 "String: nightly build" "" set "${settings}" Label "text:nightly build" -- get "${settings}" Label)
expect(0 "byte[]: 0a 1b ff" "" set "${settings}" Blob bytes:0a1bff -- get "${settings}" Blob)
expect(0 "String: A?7%Zq,c)Yx\nInteger: 1" ""
  get "${cvs}\\Passwords" ":pserver:anonymous@cvs.example.org:/cvsroot/project"
  -- set "${cvs}\\Passwords" ":pserver:anonymous@cvs.example.org:/cvsroot/project" number:1
  -- get "${cvs}\\Passwords" ":pserver:anonymous@cvs.example.org:/cvsroot/project")
expect(1 "Integer: 3" "query value key failed"
  get "${settings}" CompressionLevel -- delete "${settings}" CompressionLevel
  -- get "${settings}" CompressionLevel)
expect(0 "" "" delete "${settings}" NeverThere)
expect(1 "" "open key failed" set "${cvs}\\NoSuchKey" Retries number:1)
expect(2 "" "not a 32-bit integer" set "${settings}" Retries number:x)
expect(2 "" "hex digits" set "${settings}" Blob bytes:abc)
expect(2 "" "a value is text:TEXT" set "${settings}" Blob 12)
# Listing walks the names in the order the registry file gave them.
expect(0 "CompressionLevel = Integer: 3
PruneEmptyDirectories = Integer: 1
DefaultRepository = String: :pserver:anonymous@cvs.example.org:/cvsroot/project
WindowPlacement = byte[]: 2c 00 00 00 02 00 00 00 0a 1b ff 7f" "" list "${settings}")
expect(0 "@ = String: Plexide CVS client" "" list "${cvs}")
expect(0 "CompressionLevel = Integer: 3
PruneEmptyDirectories = Integer: 1
WindowPlacement = byte[]: 2c 00 00 00 02 00 00 00 0a 1b ff 7f
Retries = Integer: 2" "" delete "${settings}" DefaultRepository -- set "${settings}" Retries number:2
  -- list "${settings}")
expect(1 "" "open key failed" list "${cvs}\\NoSuchKey")

# A usage error anywhere stops the run before anything is written or printed.
expect(2 "" "empty command" get "${settings}" CompressionLevel --)

# Export writes a registry file that seeds the next run with what this run left.
set(exported "${BUILD_DIR}/example-export.reg")
file(REMOVE "${exported}")
expect(0 "" "" set "${settings}" Retries number:9 -- export "${cvs}" "${exported}")
file(READ "${exported}" head LIMIT 6 HEX)
if(NOT head STREQUAL "fffe57006900")
  message("FAIL: the export does not start with a byte order mark and \"Wi\" (${head})")
  math(EXPR failures "${failures} + 1")
endif()
set(ENV{REGEMU_IMPORT} "${exported}")
expect(0 "Integer: 9" "" get "${settings}" Retries)
expect(0 "String: Plexide CVS client" "" get "${cvs}" <empty>)
unset(ENV{REGEMU_IMPORT})
file(REMOVE "${exported}")
expect(1 "" "no such key" export "${cvs}\\NoSuchKey" "${exported}")
expect(2 "" "export takes 2 arguments" export "${cvs}")

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} example checks failed")
endif()
message("example: all checks passed")
