# Cross-builds the 64-bit Windows console program with MinGW-w64.
# The toolchain file of the windows64 preset (CMakePresets.json).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(toolchain_prefix x86_64-w64-mingw32)
set(wine_loader wine64)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
