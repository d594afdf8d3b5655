# Build for 32-bit x86 Linux with Debian's cross compiler (g++-i686-linux-gnu),
# not multilib, which conflicts with every other cross compiler. Programs run
# under qemu-user, with the target's C and C++ libraries installed as a foreign
# architecture (libc6:i386, libstdc++6:i386): a machine that runs 32-bit
# programs itself could drop the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386-static)
