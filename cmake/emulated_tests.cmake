# Included by CMakeLists.txt when the tests are cross-built and run under
# CMAKE_CROSSCOMPILING_EMULATOR (see cmake/powerpc-linux-gnu.cmake). The
# transcripts run host shell commands that start installer and qbxtool, so:
#
# - emulated/installer, emulated/qbxtool and emulated/installer-release-key
#   start the target binaries under the emulator; the transcript runner puts
#   emulated/ first on PATH and binds the emulator's folders (its sysroot)
#   into the device root for chroot;
# - the fault library is preloaded as preload/$LIB/libfault_shim.so: the
#   target's loader expands $LIB to lib/<target triplet> and finds the shim
#   there, while the host programs on the way (sh, env, chroot, timeout and
#   the emulator itself) expand it to lib/<host triplet>, where an empty host
#   library stands, and so neither complain nor load anything.
string(REPLACE ";" " " emulator_command "${CMAKE_CROSSCOMPILING_EMULATOR}")
foreach(program installer qbxtool installer-release-key)
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/emulated/${program}
       CONTENT "#!/bin/sh\nexec ${emulator_command} $<TARGET_FILE:${program}> \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(preload_dir ${CMAKE_BINARY_DIR}/preload)
find_program(HOST_C_COMPILER NAMES cc gcc REQUIRED)
execute_process(COMMAND ${HOST_C_COMPILER} -print-multiarch OUTPUT_VARIABLE host_multiarch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
file(MAKE_DIRECTORY ${preload_dir}/lib/${host_multiarch} ${preload_dir}/lib/${CMAKE_LIBRARY_ARCHITECTURE})
execute_process(COMMAND ${HOST_C_COMPILER} -shared -o ${preload_dir}/lib/${host_multiarch}/libfault_shim.so
                        -x c /dev/null RESULT_VARIABLE host_library_result)
if(NOT host_library_result EQUAL 0)
  message(FATAL_ERROR "could not build the empty host library in ${preload_dir}")
endif()
add_custom_command(TARGET fault_shim POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:fault_shim> ${preload_dir}/lib/${CMAKE_LIBRARY_ARCHITECTURE}/libfault_shim.so)

target_compile_definitions(test_support PUBLIC
  TEST_EMULATOR="${emulator_command}"
  TEST_PRELOAD_DIRECTORY="${preload_dir}")
