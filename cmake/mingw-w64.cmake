# Cross-build for 64-bit Windows with MinGW-w64 (Debian package mingw-w64):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The posix flavour of the compiler gives the C++ standard library its threads, locks and
# condition variables; everything is linked statically so that the DLLs need only system DLLs.
# 64-bit Windows has one calling convention, so the __stdcall exports keep their plain names.
# cmake/mingw-w64-i686.cmake sets the triple of 32-bit Windows before it includes this file.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT DNM_MINGW_TRIPLE)
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(DNM_MINGW_TRIPLE x86_64-w64-mingw32)
endif()

set(CMAKE_C_COMPILER ${DNM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DNM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DNM_MINGW_TRIPLE}-windres)
set(CMAKE_NM ${DNM_MINGW_TRIPLE}-nm)
set(CMAKE_DLLTOOL ${DNM_MINGW_TRIPLE}-dlltool)
set(CMAKE_FIND_ROOT_PATH /usr/${DNM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
