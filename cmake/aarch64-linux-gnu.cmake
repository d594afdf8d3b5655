# Cross-build for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu); programs run under qemu-user, with the target's C
# and C++ libraries installed as a foreign architecture (libc6:arm64,
# libstdc++6:arm64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
