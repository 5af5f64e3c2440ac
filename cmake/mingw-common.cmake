# Shared by the MinGW-w64 toolchain files; QX_MINGW_TRIPLET names the target.
# The POSIX thread model is the one with std::thread and std::mutex (which
# GoogleTest needs); -static below links its winpthread in too.
find_program(QX_MINGW_GXX NAMES ${QX_MINGW_TRIPLET}-g++-posix ${QX_MINGW_TRIPLET}-g++ REQUIRED)
find_program(QX_MINGW_GCC NAMES ${QX_MINGW_TRIPLET}-gcc-posix ${QX_MINGW_TRIPLET}-gcc REQUIRED)
set(CMAKE_C_COMPILER ${QX_MINGW_GCC})
set(CMAKE_CXX_COMPILER ${QX_MINGW_GXX})
set(CMAKE_RC_COMPILER ${QX_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${QX_MINGW_TRIPLET}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QX_MINGW_TRIPLET}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${QX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# zlib from Debian's libz-mingw-w64-dev, whose static libz.a is taken over
# its import library: no zlib1.dll beside the exe.
set(ZLIB_USE_STATIC_LIBS ON)

# The runtime is linked in whole, so the .exe needs no MinGW DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
