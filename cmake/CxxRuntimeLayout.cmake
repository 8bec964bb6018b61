# The size and alignment of libstdc++'s per-thread exception state (struct
# __cxa_eh_globals), read from the toolchain's own libstdc++.a: the exception engine keeps
# that state itself, in a hand copy of the layout that runtime/exceptions.cpp checks
# against these numbers (its comment says why). The runtime keeps the record in emulated
# thread-local storage, whose control object in eh_globals.o begins with the record's
# size and alignment, each a 64-bit little-endian word. A toolchain that keeps it
# otherwise stops the configuration here.
function(qvn_read_cxx_eh_globals_layout size_variable align_variable)
  # Clang finds the GCC installation only with the target and sysroot it builds with.
  set(compiler ${CMAKE_CXX_COMPILER})
  if(CMAKE_CXX_COMPILER_TARGET)
    list(APPEND compiler --target=${CMAKE_CXX_COMPILER_TARGET})
  endif()
  if(CMAKE_SYSROOT)
    list(APPEND compiler --sysroot=${CMAKE_SYSROOT})
  endif()
  execute_process(COMMAND ${compiler} -print-file-name=libstdc++.a
    OUTPUT_VARIABLE library OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(folder ${CMAKE_BINARY_DIR}/cxx-runtime-layout)
  file(MAKE_DIRECTORY ${folder})
  execute_process(COMMAND ${CMAKE_AR} x ${library} eh_globals.o WORKING_DIRECTORY ${folder}
    RESULT_VARIABLE extracted ERROR_QUIET)
  set(section ".data$__emutls_v._ZZN12_GLOBAL__N_110get_globalEvE6global")
  execute_process(COMMAND ${CMAKE_OBJDUMP} -s -j ${section} ${folder}/eh_globals.o
    OUTPUT_VARIABLE dump RESULT_VARIABLE dumped ERROR_QUIET)
  string(REGEX MATCH "\n 0000 ([0-9a-f]+) ([0-9a-f]+) ([0-9a-f]+) " line "${dump}")
  if(NOT extracted EQUAL 0 OR NOT dumped EQUAL 0 OR NOT line)
    message(FATAL_ERROR "Cannot read the layout of libstdc++'s per-thread exception state (eh_globals.o, "
      "section ${section}) from ${library}: the toolchain keeps it otherwise, and the exception engine "
      "(runtime/exceptions.cpp) must be checked against it by hand.")
  endif()
  # The first bytes of each word are enough: both numbers are small.
  foreach(word IN ITEMS 1 3)
    string(SUBSTRING "${CMAKE_MATCH_${word}}" 0 2 low)
    string(SUBSTRING "${CMAKE_MATCH_${word}}" 2 2 high)
    math(EXPR value "0x${high}${low}")
    list(APPEND numbers ${value})
  endforeach()
  list(GET numbers 0 size)
  list(GET numbers 1 align)
  set(${size_variable} ${size} PARENT_SCOPE)
  set(${align_variable} ${align} PARENT_SCOPE)
endfunction()
