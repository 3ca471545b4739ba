# Cross build for the board: 32-bit ARM hard-float Linux (armhf), with
# Debian's arm-linux-gnueabihf compiler (g++-arm-linux-gnueabihf). Programs
# built here run on this machine under qemu-arm (qemu-user); there is no
# binfmt registration, so the emulator is always named explicitly.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(RIG_ARMHF_TRIPLET arm-linux-gnueabihf)
set(RIG_ARMHF_SYSROOT /usr/${RIG_ARMHF_TRIPLET})

set(CMAKE_C_COMPILER ${RIG_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${RIG_ARMHF_TRIPLET}-g++)

# 64-bit time_t and file offsets, so dates in the log and the report stay
# right past 2038 (glibc 2.34 and later; Debian's own armhf moves to this
# too). Every target of the build gets the same ABI, GoogleTest included.
set(CMAKE_C_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "-D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
# -Wno-psabi: GCC's notes that the passing of some aggregates changed in GCC 7.1
# concern mixing objects built by GCC before 7.1, which this build never does;
# they are notes, not warnings, and every real warning stays on.
string(APPEND CMAKE_C_FLAGS_INIT " -Wno-psabi")
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-psabi")

# ctest and gtest_discover_tests run the test programs through this; -L
# points the emulated loader at the cross C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${RIG_ARMHF_SYSROOT})

# Libraries and headers of the target come from the cross sysroot only;
# build tools from the build machine.
set(CMAKE_FIND_ROOT_PATH ${RIG_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Debian architecture the package is built for.
set(RIG_DEBIAN_ARCH armhf)
