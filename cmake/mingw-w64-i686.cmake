# Cross-build for 32-bit Windows with mingw-w64; programs run under 32-bit
# Wine (Debian: wine32:i386), in a prefix made with WINEARCH=win32.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(mingw_target i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
