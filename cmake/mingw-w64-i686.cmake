# Cross-builds the 32-bit Windows console program with MinGW-w64.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(toolchain_prefix i686-w64-mingw32)
# The POSIX thread model: GoogleTest needs std::mutex, which the win32 model of
# GCC 12 lacks. The program itself starts no thread.
set(CMAKE_C_COMPILER ${toolchain_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${toolchain_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${toolchain_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${toolchain_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No MinGW DLLs beside the program: the C++ runtime is linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Every Windows since 8 requires SSE2, so the program may use it. Measured
# under Wine it changes little for the scan: the zero check is msvcrt's memcmp,
# and reading in text mode costs far more than checking.
set(CMAKE_C_FLAGS_INIT "-msse2")
set(CMAKE_CXX_FLAGS_INIT "-msse2")

# CTest runs the Windows test programs under Wine.
find_program(wine_program wine)
if(wine_program)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${wine_program})
endif()
