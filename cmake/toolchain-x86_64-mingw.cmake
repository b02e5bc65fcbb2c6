# Cross-compiling the 64-bit DLL and the Win32 programs with mingw-w64, from
# the same sources as the 32-bit build. Its tests run in a 64-bit Wine
# prefix, which runs 32-bit programs too.
set(VEXA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-toolchain.cmake)
