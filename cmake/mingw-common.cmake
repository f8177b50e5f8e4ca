# Cross-compiling for Windows with MinGW-w64; the including file sets QDP_MINGW_TRIPLET.
# The -posix compilers are needed for GoogleTest (std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QDP_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QDP_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QDP_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QDP_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
