# Cross-builds the Windows agent on Linux with mingw-w64: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake.
# Programs built here run under Wine, which is also how CTest and GoogleTest's discovery run them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KLENDO_MINGW_TRIPLE x86_64-w64-mingw32)
# The -posix compilers: the default win32 thread model of GCC 12 has no std::thread or std::mutex.
set(CMAKE_C_COMPILER ${KLENDO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KLENDO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KLENDO_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KLENDO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Without this pkg-config quietly hands out the Linux libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${KLENDO_MINGW_TRIPLE}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# One self-contained executable: no libstdc++, libgcc or winpthread DLL to carry along.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
