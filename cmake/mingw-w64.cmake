# What the two MinGW-w64 toolchain files share. Each sets toolchain_prefix and
# wine_loader, then includes this file.
set(CMAKE_SYSTEM_NAME Windows)

# The POSIX thread model: the scan's threads and GoogleTest need std::thread
# and std::mutex, which the win32 model of GCC 12 lacks.
set(CMAKE_C_COMPILER ${toolchain_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${toolchain_prefix}-g++-posix)
set(CMAKE_RC_COMPILER ${toolchain_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${toolchain_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No MinGW DLLs beside the program: the C++ runtime is linked in. No time of
# linking in the executable's header either, so that two builds of one commit
# give the same program.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp")

# CTest runs the Windows test programs under Wine, with the loader that matches
# the build: Debian's `wine` wrapper always picks the 32-bit loader once it is
# installed, even for a 64-bit program.
find_program(wine_program NAMES ${wine_loader} PATHS /usr/lib/wine NO_CACHE)
if(wine_program)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${wine_program})
endif()
