# CMake toolchain file for the router's processor: 32-bit big-endian PowerPC
# Linux, with Debian's cross compiler (g++-powerpc-linux-gnu) and the sysroot
# that scripts/powerpc-sysroot.sh builds (zlib, libcrypto and GoogleTest from
# Debian's sources, the cross C library). For example
#
#   bash scripts/powerpc-sysroot.sh
#   cmake -S . -B build/firmware -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
#         -DCMAKE_BUILD_TYPE=Release -DINSTALLER_TESTS=OFF
#
# POWERPC_SYSROOT names another sysroot (default: build/powerpc/sysroot of
# this source tree). Programs built here run on the build machine under
# qemu-ppc, which CMake and the tests use as the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(CMAKE_LIBRARY_ARCHITECTURE powerpc-linux-gnu)
set(CMAKE_C_COMPILER powerpc-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER powerpc-linux-gnu-g++)

if(NOT DEFINED POWERPC_SYSROOT)
  if(DEFINED ENV{POWERPC_SYSROOT})
    set(POWERPC_SYSROOT "$ENV{POWERPC_SYSROOT}")
  else()
    get_filename_component(POWERPC_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/powerpc/sysroot" ABSOLUTE)
  endif()
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES POWERPC_SYSROOT)

# Libraries and headers come from the sysroot only, programs from the host.
set(CMAKE_FIND_ROOT_PATH "${POWERPC_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Runs target programs (test discovery, the tests' own runs of installer and
# qbxtool) with the sysroot's loader and C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc;-L;${POWERPC_SYSROOT})
