# Cross-compiles wirekit for 32-bit Windows with mingw-w64 (the POSIX-thread
# variant, which provides std::thread and std::mutex) and runs the programs it
# builds under 32-bit Wine, so that ctest runs the test suite as it is:
#   cmake -S . -B build-win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(WIREKIT_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER ${WIREKIT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${WIREKIT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${WIREKIT_MINGW_TRIPLET}-windres)

# Libraries and headers of the target (zlib) come from the mingw-w64 root
# only; programs run during the build come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${WIREKIT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ZLIB_USE_STATIC_LIBS ON)

# Every processor that runs a supported 32-bit Windows has SSE2, and the
# framing scans 32 bytes at a time with it as on x86-64. Threads that Windows
# starts may enter with a stack aligned to 4 bytes only, so functions that
# keep vectors on the stack realign it first.
set(CMAKE_C_FLAGS_INIT "-msse2 -mstackrealign")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mstackrealign")

# The runtime libraries (libgcc, libstdc++, winpthread) and zlib are linked in
# statically, so the DLL and the programs need no DLL beyond the system's.
# The programs are not marked large-address-aware: like most 32-bit hosts
# they get a 2 GiB address space, the case the library's limits are made for.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Wine runs the test programs (and test discovery): Debian's 32-bit loader is
# /usr/lib/wine/wine, which the wine command on the PATH also starts when it
# is installed. Each build folder gets a Wine prefix of its own, created on
# first use as a 32-bit one; WINEDEBUG=-all keeps Wine's diagnostics out of
# the test output, and the .NET and HTML engines are not installed into the
# prefix.
find_program(WIREKIT_WINE32 NAMES wine
             HINTS /usr/lib/wine /usr/lib/i386-linux-gnu/wine /opt/wine-stable/bin
             NO_CMAKE_FIND_ROOT_PATH)
if(WIREKIT_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      env WINEDEBUG=-all WINEARCH=win32 WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix
          "WINEDLLOVERRIDES=mscoree,mshtml=" ${WIREKIT_WINE32})
endif()
