# Cross-build for 64-bit Windows with mingw-w64; programs run under Wine's
# 64-bit loader, named directly: where 32-bit Wine is installed too, Debian's
# `wine` starts the 32-bit one first, which a machine without 32-bit x86
# support cannot run.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(mingw_target x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
find_program(PINGEXT_WINE64 NAMES wine64 wine HINTS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PINGEXT_WINE64})
