# Cross-build for 32-bit Windows with MinGW-w64 (Debian: g++-mingw-w64-i686).
# Test programs run under Wine's 32-bit loader (Debian: wine32:i386) through
# cmake/wine-run.sh, where the machine can run 32-bit programs at all; their
# tests are listed when ctest runs, not when they are built, so the build
# works on a machine that cannot run them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QX_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env QX_WINE_32BIT=1 ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
