# SPDX-License-Identifier: Apache-2.0
# Cross-builds for 64-bit ARM Linux on a Debian machine with crossbuild-essential-arm64 and the
# arm64 development packages (multiarch), and runs the tests under qemu-user:
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
# The emulator takes its loader and libraries from / (the multiarch tree); pairing the cross
# tree's loader in /usr/aarch64-linux-gnu with the multiarch libc hangs every thread start.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)

# Libraries and their pkg-config files from the arm64 multiarch folders only; headers shared by
# all architectures stay in /usr/include.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
