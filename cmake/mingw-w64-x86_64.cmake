# Cross-builds hexburn.exe for 64-bit Windows with Debian's mingw-w64
# (package g++-mingw-w64-x86-64). The posix thread variant of the compiler
# is the one whose C++ library has std::thread and std::this_thread.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HEXBURN_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HEXBURN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HEXBURN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${HEXBURN_MINGW}-windres)

# Headers and libraries come from the target's tree only, never the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${HEXBURN_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The host's pkg-config files describe Linux libraries (libftdi1 among them).
set(ENV{PKG_CONFIG_LIBDIR} /usr/${HEXBURN_MINGW}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# The C and C++ runtimes and winpthread linked in: the .exe (and the simulated
# board's .dll) runs on a bare Windows with nothing but FTDI's driver installed.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
