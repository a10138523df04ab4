# Cross-compiling to macOS with zig (the macos-cross preset; see
# cmake/MacosCross.cmake, which configures each architecture with this file).
#
#   BRACKWELL_ZIG_TOOLS  directory of the zig wrappers <target>-cc, -c++, -ar, -ranlib
#   BRACKWELL_ZIG_TARGET zig's target, e.g. aarch64-macos.11.0 (the ".0" is required)
#   BRACKWELL_LLVM_STRIP llvm-strip (GNU strip cannot write Mach-O)
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20) # Darwin 20 is macOS 11
string(REGEX REPLACE "-.*" "" _brackwell_zig_arch "${BRACKWELL_ZIG_TARGET}")
if(_brackwell_zig_arch STREQUAL "aarch64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
else()
  set(CMAKE_SYSTEM_PROCESSOR "${_brackwell_zig_arch}")
endif()

set(CMAKE_C_COMPILER "${BRACKWELL_ZIG_TOOLS}/${BRACKWELL_ZIG_TARGET}-cc")
set(CMAKE_CXX_COMPILER "${BRACKWELL_ZIG_TOOLS}/${BRACKWELL_ZIG_TARGET}-c++")
set(CMAKE_AR "${BRACKWELL_ZIG_TOOLS}/${BRACKWELL_ZIG_TARGET}-ar" CACHE FILEPATH "zig ar")
set(CMAKE_RANLIB "${BRACKWELL_ZIG_TOOLS}/${BRACKWELL_ZIG_TARGET}-ranlib" CACHE FILEPATH "zig ranlib")
set(CMAKE_STRIP "${BRACKWELL_LLVM_STRIP}" CACHE FILEPATH "llvm-strip")
# CMake wants one for Darwin targets; nothing here is a shared library, so it
# never runs.
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool-14 llvm-install-name-tool install_name_tool)
# zig's linker drops sections nothing refers to when it optimises, and the
# "@(#)" identity strings are such sections: keep them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--no-gc-sections")

# Nothing of the build machine's own libraries or headers belongs in a Mac binary.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler checks configure small projects of their own, which read this
# file again and need the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BRACKWELL_ZIG_TOOLS BRACKWELL_ZIG_TARGET BRACKWELL_LLVM_STRIP)
