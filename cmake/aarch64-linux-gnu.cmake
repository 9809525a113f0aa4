# Cross build for 64-bit Arm Linux with Debian's cross compiler (package g++-aarch64-linux-gnu):
#   cmake -S . -B build-arm64 --toolchain cmake/aarch64-linux-gnu.cmake
# Libraries for the target come from Debian's multiarch packages (libgtest-dev:arm64, ...) under
# /usr/lib/aarch64-linux-gnu. Programs built here run on this machine under qemu-aarch64 (package
# qemu-user), which CTest and CPack's helpers use as the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Debian keeps each architecture's libraries in their own folder (/usr/lib/aarch64-linux-gnu), so
# the library architecture above is enough to find the target's and never the build machine's;
# headers in /usr/include are shared by all architectures.

# qemu-aarch64 finds the target's loader and libraries where the multiarch packages put them
# (libstdc++6:arm64 brings libc6:arm64). Not the cross compiler's copies with `-L
# /usr/aarch64-linux-gnu`: under qemu 7.2 their loader hangs in the first pthread_create.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
