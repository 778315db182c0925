# Cross-builds the 32-bit Windows console program with MinGW-w64.
# The toolchain file of the windows preset (CMakePresets.json).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(toolchain_prefix i686-w64-mingw32)
set(wine_loader wine)

# Every Windows since 8 requires SSE2, so the compiler may use it.
set(CMAKE_C_FLAGS_INIT "-msse2")
set(CMAKE_CXX_FLAGS_INIT "-msse2")

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
