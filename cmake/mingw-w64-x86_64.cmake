# Cross-compiles for Windows x86-64 with Debian's mingw-w64, POSIX thread model (std::thread and
# atomic waits over winpthreads); programs run under wine.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DKORVO_NATIVE_ONLY=ON ...
# At run time the programs need the compiler's DLLs (libstdc++, libgcc_s, libwinpthread): wine
# finds them through WINEPATH, which tools/build.sh sets.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(korvo_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${korvo_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${korvo_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${korvo_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${korvo_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and gtest_discover_tests start every test program through wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
