# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu. Test programs run
# under qemu-user, with the target's C and C++ libraries from the cross toolchain.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# GCC notes where its aarch64 calling convention changed in GCC 10; one compiler builds
# everything here, so the notes only bury real warnings.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)

# Boost's headers are the same for every target, so the pure libraries take them from the
# build machine, through a directory that holds them and nothing else of /usr/include.
set(SKELV_HOST_BOOST ${CMAKE_BINARY_DIR}/host-boost)
file(MAKE_DIRECTORY ${SKELV_HOST_BOOST})
file(CREATE_LINK /usr/include/boost ${SKELV_HOST_BOOST}/boost SYMBOLIC)
set(Boost_NO_BOOST_CMAKE ON)
set(Boost_INCLUDE_DIR ${SKELV_HOST_BOOST})
