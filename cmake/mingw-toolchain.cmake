# What both mingw-w64 toolchain files share; each names its target first
# (VEXA_MINGW_TRIPLE, CMAKE_SYSTEM_PROCESSOR). The posix-thread compilers are
# needed: the win32-thread ones lack std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VEXA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXA_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VEXA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# CTest runs every Win32 test program under Wine, in the build's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
