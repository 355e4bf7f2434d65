# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (packages
# mingw-w64 and mingw-w64-tools):
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
#
# The posix thread model is chosen on purpose: only with it is libstdc++'s
# steady_clock monotonic (the watchdog measures against it), and -static
# folds its winpthreads into the DLL, so nothing but system DLLs is imported.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(VERIMEX_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VERIMEX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VERIMEX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VERIMEX_MINGW_TRIPLE}-windres)
# widl compiles the type library; a cache entry so another one can be named.
set(VERIMEX_WIDL ${VERIMEX_MINGW_TRIPLE}-widl CACHE STRING "The IDL compiler (widl) for this target")
set(VERIMEX_WIDL_TARGET --win64 CACHE INTERNAL "")

set(CMAKE_FIND_ROOT_PATH /usr/${VERIMEX_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
