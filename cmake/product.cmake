# Settings for everything that ships to the device.

# The shipped programs are linked by the C driver. CMake would still add the
# C++ runtime it found for the compiler; targets linked as C++ (the tests)
# get it from the g++ driver anyway.
set(CMAKE_CXX_IMPLICIT_LINK_LIBRARIES "")
set(CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES "")

add_library(ipc_warnings INTERFACE)
target_compile_options(ipc_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
  -Wformat=2 -Wcast-qual -Wundef -Wmissing-declarations
  $<$<BOOL:${IPC_WERROR}>:-Werror>)

function(ipc_product target)
  target_link_libraries(${target} PRIVATE ipc_warnings)
  target_compile_options(${target} PRIVATE
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables
    -ffunction-sections -fdata-sections
    # The shared tables are inline variables: plain objects, not GNU
    # unique symbols, which would mark the binary as GNU/Linux-only.
    $<$<CXX_COMPILER_ID:GNU>:-fno-gnu-unique>)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set_target_properties(${target} PROPERTIES LINKER_LANGUAGE C)
    target_link_options(${target} PRIVATE -Wl,--gc-sections)
  endif()
endfunction()
