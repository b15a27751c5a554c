# Checks a shipped executable: stripped size within budget, statically
# linked, and nothing of a C++ runtime or of a printf engine in it.
# cmake -DFILE=... -DSTRIP=... -DNM=... [-DLIMIT=bytes] [-DFILE_TYPE=regex]
#       [-DPRINTF_OK=ON] [-DVERSION_TEXT=text] -P check_binary.cmake

foreach(var FILE STRIP NM)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_binary: ${var} is not set")
  endif()
endforeach()

get_filename_component(name "${FILE}" NAME)
set(stripped "${CMAKE_CURRENT_BINARY_DIR}/${name}.stripped")
execute_process(COMMAND "${STRIP}" -o "${stripped}" "${FILE}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${STRIP} failed on ${FILE}")
endif()
file(SIZE "${stripped}" size)
message(STATUS "${name}: ${size} bytes stripped")
if(DEFINED LIMIT AND size GREATER LIMIT)
  message(FATAL_ERROR "${name} is ${size} bytes stripped, over the budget of ${LIMIT}")
endif()

# What strings(1) must find in the shipped file.
if(DEFINED VERSION_TEXT)
  file(STRINGS "${stripped}" found REGEX "^${VERSION_TEXT}$")
  if(NOT found)
    message(FATAL_ERROR "${name} does not carry '${VERSION_TEXT}'")
  endif()
endif()

if(DEFINED FILE_TYPE)
  execute_process(COMMAND file -b "${FILE}" OUTPUT_VARIABLE type OUTPUT_STRIP_TRAILING_WHITESPACE)
  message(STATUS "${name}: ${type}")
  if(NOT type MATCHES "${FILE_TYPE}")
    message(FATAL_ERROR "${name} is not '${FILE_TYPE}': ${type}")
  endif()
endif()

execute_process(COMMAND "${NM}" "${FILE}" OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${FILE}")
endif()
# __cxa_atexit and __cxa_finalize belong to the C library.
string(REGEX REPLACE "[^\n]*__cxa_(atexit|finalize)[^\n]*" "" symbols "${symbols}")
string(REGEX MATCHALL "[^\n]*(__cxa_|__gxx_personality|_ZSt|_ZNSt|_Znw|_Znaw|_ZdlPv|_Unwind_|GLIBCXX|CXXABI)[^\n]*" cxx "${symbols}")
if(cxx)
  list(JOIN cxx "\n" cxx)
  message(FATAL_ERROR "${name} carries C++ runtime symbols:\n${cxx}")
endif()

# The trace and the messages are built by the project's own formatter; a
# program that links a library which formats its own may be let off.
if(PRINTF_OK)
  return()
endif()
string(REGEX MATCHALL "[^\n]*[ _](v?s?n?printf|v?fprintf|printf_core|__[a-z]*printf_chk)(@[^\n]*)?\n" formatted "${symbols}\n")
if(formatted)
  list(JOIN formatted "" formatted)
  message(FATAL_ERROR "${name} carries the printf family:\n${formatted}")
endif()
