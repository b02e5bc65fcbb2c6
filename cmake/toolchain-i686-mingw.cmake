# Cross-compiling the 32-bit DLL and the Win32 programs with mingw-w64.
set(VEXA_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
