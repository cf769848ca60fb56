# Cross-build for 32-bit Windows with MinGW-w64 (Debian package mingw-w64):
#   cmake -S . -B build-windows-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# There __stdcall decorates a function's name with its arguments' size; cmake/Exports.cmake
# keeps the DLLs' export names plain.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(DNM_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
