# Clang 14 as a second compiler for the same target: 64-bit Windows, against the
# mingw-w64 GCC installation (its headers, libstdc++, libgcc and winpthread), linked with
# lld. Everything but the compilers comes from the GCC toolchain file.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-w64-x86_64.cmake)

set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_TRIPLE})
set(CMAKE_AR ${MINGW_TRIPLE}-ar)
set(CMAKE_RANLIB ${MINGW_TRIPLE}-ranlib)
set(CMAKE_NM ${MINGW_TRIPLE}-nm)
set(CMAKE_OBJCOPY ${MINGW_TRIPLE}-objcopy)

# Clang looks for the GCC installation under <sysroot>/lib/gcc/<triple>/<version> and
# takes only a folder named as a version; Debian names it 12-posix (beside 12-win32).
# So the build tree holds a sysroot of two links: the version folder, and the target's
# headers and libraries. Try-compile projects get the same folder passed on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QVN_CLANG_SYSROOT)
if(NOT QVN_CLANG_SYSROOT)
  set(QVN_CLANG_SYSROOT ${CMAKE_BINARY_DIR}/clang-sysroot)
endif()
set(gcc_installation /usr/lib/gcc/${MINGW_TRIPLE}/12-posix)
if(NOT EXISTS ${gcc_installation}/libstdc++.a)
  message(FATAL_ERROR "Clang builds against ${gcc_installation}: install g++-mingw-w64-x86-64-posix")
endif()
if(NOT EXISTS ${QVN_CLANG_SYSROOT}/${MINGW_TRIPLE})
  file(MAKE_DIRECTORY ${QVN_CLANG_SYSROOT}/lib/gcc/${MINGW_TRIPLE})
  file(CREATE_LINK ${gcc_installation} ${QVN_CLANG_SYSROOT}/lib/gcc/${MINGW_TRIPLE}/12.0.0 SYMBOLIC)
  file(CREATE_LINK /usr/${MINGW_TRIPLE} ${QVN_CLANG_SYSROOT}/${MINGW_TRIPLE} SYMBOLIC)
endif()
set(CMAKE_SYSROOT ${QVN_CLANG_SYSROOT})

# lld: GNU ld warns about sections of different sizes in Clang's COMDAT groups.
# -pthread: Clang does not link winpthread by itself.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread")
endforeach()
