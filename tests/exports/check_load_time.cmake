# Checks that nothing of a shared library runs when it is loaded: every .init_array entry is the
# toolchain's own (frame_dummy from crtbeginS.o), none is a constructor of the library's code,
# and there are no .ctors.
# Arguments (-D): READELF, NM (tools to use), LIBRARY (the file, with its symbol table).
cmake_minimum_required(VERSION 3.25)

function(run out)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${errors}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

set(allowed frame_dummy)
set(problems "")

run(sections "${READELF}" -SW "${LIBRARY}")
if(sections MATCHES "\\] \\.ctors ")
  list(APPEND problems "has a .ctors section")
endif()
set(entries "")
if(sections MATCHES "\\] \\.init_array +[A-Z_]+ +([0-9a-f]+) [0-9a-f]+ ([0-9a-f]+)")
  math(EXPR first "0x${CMAKE_MATCH_1}")
  math(EXPR end "0x${CMAKE_MATCH_1} + 0x${CMAKE_MATCH_2}")

  # What each entry points at: the addend of its relative relocation.
  run(relocations "${READELF}" -rW "${LIBRARY}")
  string(REGEX MATCHALL "\n0*([0-9a-f]+) +[0-9a-f]+ +R_[A-Z0-9_]+_RELATIVE +([0-9a-f]+)" rows "${relocations}")
  run(symbols "${NM}" --defined-only "${LIBRARY}")
  foreach(row IN LISTS rows)
    string(REGEX MATCH "0*([0-9a-f]+) +[0-9a-f]+ +R_[A-Z0-9_]+_RELATIVE +0*([0-9a-f]+)" _ "${row}")
    math(EXPR offset "0x${CMAKE_MATCH_1}")
    set(target "${CMAKE_MATCH_2}")
    if(offset LESS first OR NOT offset LESS end)
      continue()
    endif()
    if(symbols MATCHES "(^|\n)0*${target} [tT] ([^\n]+)")
      set(name "${CMAKE_MATCH_2}")
    else()
      set(name "0x${target}")
    endif()
    list(APPEND entries "${name}")
    if(NOT name IN_LIST allowed)
      list(APPEND problems ".init_array runs ${name} at load")
    endif()
  endforeach()
endif()

message(STATUS "${LIBRARY}: .init_array: ${entries}")
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "${LIBRARY}:\n  ${text}")
endif()
