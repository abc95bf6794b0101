# CMake toolchain file for the router's processor: 32-bit big-endian PowerPC
# Linux, with Debian's cross compiler (g++-powerpc-linux-gnu) and the sysroot
# that scripts/powerpc-sysroot.sh builds (zlib, libcrypto and GoogleTest from
# Debian's sources, the cross C library). For example
#
#   bash scripts/powerpc-sysroot.sh
#   cmake -S . -B build/firmware -DCMAKE_TOOLCHAIN_FILE=cmake/powerpc-linux-gnu.cmake \
#         -DCMAKE_BUILD_TYPE=MinSizeRel -DINSTALLER_TESTS=OFF
#
# POWERPC_SYSROOT names another sysroot (default: build/powerpc/sysroot of
# this source tree). Programs are linked statically, with unused sections
# dropped, unless POWERPC_STATIC is OFF (the test build: its fault stories
# preload a library into installer, which a static program cannot load).
# (A CMAKE_EXE_LINKER_FLAGS of the first configure replaces these flags;
# LDFLAGS in the environment adds to them.) Programs built here run on the
# build machine under qemu-ppc, which CMake and the tests use as the emulator.
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
if(NOT DEFINED POWERPC_STATIC)
  set(POWERPC_STATIC ON)
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES POWERPC_SYSROOT POWERPC_STATIC)
if(POWERPC_STATIC)
  set(CMAKE_C_FLAGS_INIT "-ffunction-sections -fdata-sections")
  set(CMAKE_CXX_FLAGS_INIT "-ffunction-sections -fdata-sections")
  set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--gc-sections")
endif()

# Libraries and headers come from the sysroot only, programs from the host.
set(CMAKE_FIND_ROOT_PATH "${POWERPC_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Runs target programs (test discovery, the tests' own runs of installer and
# qbxtool) with the sysroot's loader and C library.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-ppc;-L;${POWERPC_SYSROOT})
