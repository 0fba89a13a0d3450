# Cross-compiles for 64-bit Windows with Debian's clang, on the headers and
# libraries of mingw-w64 and the C++ library of its GCC (win32 thread model,
# the same as the GCC build), linked by mingw-w64's GNU linker.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER ${TOOLCHAIN_PREFIX}-windres)
set(CMAKE_SYSROOT /usr/${TOOLCHAIN_PREFIX})

# Clang does not find the C++ headers of Debian's mingw-w64 GCC by itself
# (their folder is named after the thread model, e.g. 12-win32).
file(GLOB VOROD_MINGW_GCC_DIRS /usr/lib/gcc/${TOOLCHAIN_PREFIX}/*-win32)
list(SORT VOROD_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET VOROD_MINGW_GCC_DIRS 0 VOROD_MINGW_GCC_DIR)
set(CMAKE_CXX_FLAGS_INIT "-isystem ${VOROD_MINGW_GCC_DIR}/include/c++ \
-isystem ${VOROD_MINGW_GCC_DIR}/include/c++/${TOOLCHAIN_PREFIX} \
-isystem ${VOROD_MINGW_GCC_DIR}/include/c++/backward")
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-L${VOROD_MINGW_GCC_DIR}")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
