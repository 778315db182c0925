# Cross-builds the 32-bit Windows console program with MinGW-w64.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_PROCESSOR i686)
set(toolchain_prefix i686-w64-mingw32)
set(wine_loader wine)

# Every Windows since 8 requires SSE2, so the program may use it. Measured
# under Wine it changes little for the scan: the zero check is msvcrt's memcmp,
# and reading in text mode costs far more than checking.
set(CMAKE_C_FLAGS_INIT "-msse2")
set(CMAKE_CXX_FLAGS_INIT "-msse2")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
