# Shared part of the two mingw-w64 toolchains. The including file sets PONDREL_TRIPLE.
# The compilers of the win32 thread model: the C++ runtime takes its locks and thread-local
# storage from the platform, and no POSIX thread library comes into the programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${PONDREL_TRIPLE}-gcc-win32)
set(CMAKE_CXX_COMPILER ${PONDREL_TRIPLE}-g++-win32)
set(CMAKE_RC_COMPILER ${PONDREL_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PONDREL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
