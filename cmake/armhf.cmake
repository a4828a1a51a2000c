# Cross build for the camera: 32-bit ARM, hard float, with Debian's cross compiler
# (g++-arm-linux-gnueabihf, libc6-dev-armhf-cross). Binaries run here under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(QV_CROSS_TRIPLE arm-linux-gnueabihf)
set(QV_CROSS_PREFIX /usr/${QV_CROSS_TRIPLE})
set(CMAKE_C_COMPILER ${QV_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${QV_CROSS_TRIPLE}-g++)
set(CMAKE_STRIP ${QV_CROSS_TRIPLE}-strip CACHE FILEPATH "")
# GCC 12 reports a false -Wrestrict inside libstdc++'s string concatenation when size_t is
# 32 bits (GCC bug 105329, fixed in GCC 13); the x86_64 build keeps the warning.
set(CMAKE_CXX_FLAGS_INIT -Wno-restrict)

# Libraries and headers come from the cross C library only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH ${QV_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest starts the test executables through this; the tests start their child processes
# through QV_TEST_EMULATOR, which tests/CMakeLists.txt sets to the same.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm -L ${QV_CROSS_PREFIX})
