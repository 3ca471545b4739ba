# Cross build for the board: 32-bit ARM hard-float Linux (armhf). Programs
# built here run on this machine under qemu-arm (qemu-user); there is no
# binfmt registration, so the emulator is always named explicitly.
#
# The compiler and the target's libraries come from, in this order:
#   - a board SDK's environment: a Yocto SDK's environment-setup script sets
#     CC, CXX (compiler with its target options) and OECORE_TARGET_SYSROOT;
#       . /opt/poky/<version>/environment-setup-cortexa7t2hf-neon-poky-linux-gnueabi
#       cmake --preset armhf
#   - the command line: -DCMAKE_SYSROOT=<board root> -DRIG_CROSS_PREFIX=<prefix>
#     (the compilers are <prefix>gcc and <prefix>g++, e.g.
#     /opt/sdk/bin/arm-linux-gnueabihf-);
#   - otherwise Debian's arm-linux-gnueabihf compiler (g++-arm-linux-gnueabihf)
#     and its libraries in /usr/arm-linux-gnueabihf.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

# Returns in compiler and flags the program and the options of a CC/CXX text.
function(rig_split_compiler text compiler flags)
  separate_arguments(words UNIX_COMMAND "${text}")
  list(POP_FRONT words program)
  string(JOIN " " options ${words})
  set(${compiler} ${program} PARENT_SCOPE)
  set(${flags} "${options}" PARENT_SCOPE)
endfunction()

set(RIG_CROSS_PREFIX "" CACHE STRING "Prefix of the cross compilers (with CMAKE_SYSROOT): <prefix>gcc, <prefix>g++")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES RIG_CROSS_PREFIX)  # the checks' projects read this file too
if(DEFINED ENV{OECORE_TARGET_SYSROOT} AND DEFINED ENV{CC} AND DEFINED ENV{CXX})
  set(RIG_ARMHF_SYSROOT $ENV{OECORE_TARGET_SYSROOT})
  set(CMAKE_SYSROOT ${RIG_ARMHF_SYSROOT})
  rig_split_compiler("$ENV{CC}" CMAKE_C_COMPILER RIG_SDK_C_FLAGS)
  rig_split_compiler("$ENV{CXX}" CMAKE_CXX_COMPILER RIG_SDK_CXX_FLAGS)
elseif(CMAKE_SYSROOT AND RIG_CROSS_PREFIX)
  set(RIG_ARMHF_SYSROOT ${CMAKE_SYSROOT})
  set(CMAKE_C_COMPILER ${RIG_CROSS_PREFIX}gcc)
  set(CMAKE_CXX_COMPILER ${RIG_CROSS_PREFIX}g++)
elseif(CMAKE_SYSROOT OR RIG_CROSS_PREFIX)
  message(FATAL_ERROR "a board SDK on the command line takes both -DCMAKE_SYSROOT and -DRIG_CROSS_PREFIX")
else()
  set(RIG_ARMHF_TRIPLET arm-linux-gnueabihf)
  set(RIG_ARMHF_SYSROOT /usr/${RIG_ARMHF_TRIPLET})
  set(CMAKE_C_COMPILER ${RIG_ARMHF_TRIPLET}-gcc)
  set(CMAKE_CXX_COMPILER ${RIG_ARMHF_TRIPLET}-g++)
endif()

# 64-bit time_t and file offsets, so dates in the log and the report stay
# right past 2038 (glibc 2.34 and later; Debian's own armhf moves to this
# too). Every target of the build gets the same ABI, GoogleTest included.
set(CMAKE_C_FLAGS_INIT "${RIG_SDK_C_FLAGS} -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
set(CMAKE_CXX_FLAGS_INIT "${RIG_SDK_CXX_FLAGS} -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
# -Wno-psabi: GCC's notes that the passing of some aggregates changed in GCC 7.1
# concern mixing objects built by GCC before 7.1, which this build never does;
# they are notes, not warnings, and every real warning stays on.
string(APPEND CMAKE_C_FLAGS_INIT " -Wno-psabi")
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-psabi")

# ctest and gtest_discover_tests run the test programs through this; -L
# points the emulated loader at the target's C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${RIG_ARMHF_SYSROOT})

# Libraries and headers of the target come from its sysroot only; build tools
# from the build machine.
set(CMAKE_FIND_ROOT_PATH ${RIG_ARMHF_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Debian architecture the package is built for.
set(RIG_DEBIAN_ARCH armhf)
