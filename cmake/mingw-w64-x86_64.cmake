# Cross-builds for 64-bit Windows with Debian's MinGW-w64 compilers. The posix flavour is the one
# whose libstdc++ has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HIDIAP_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HIDIAP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HIDIAP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${HIDIAP_MINGW_TRIPLE}-windres)

# Libraries and headers come from MinGW's own tree and from the staged dependencies
# (HIDAPI built for Windows, the header-only libraries), never from the build machine's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/${HIDIAP_MINGW_TRIPLE})
if(HIDIAP_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${HIDIAP_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained hidiap.exe: the C++ runtime, winpthread and zlib linked in, so it needs no
# DLL beyond those of Windows itself.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
