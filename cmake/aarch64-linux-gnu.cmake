# Builds for 64-bit ARM with Debian's cross compilers (crossbuild-essential-arm64),
# and runs what it builds under qemu-user (qemu-user), so that plain ctest runs
# every test there:
#   cmake -S . -B build-arm64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: where the dynamic loader and libraries of the target lie: Debian's arm64
# packages where they are installed (the image libraries' arm64 packages bring
# them, and must run with their own C library), else the cross compiler's.
find_program(LUMTAB_QEMU qemu-aarch64 REQUIRED)
if(EXISTS /lib/ld-linux-aarch64.so.1)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMTAB_QEMU} -L /)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMTAB_QEMU} -L /usr/aarch64-linux-gnu)
endif()
