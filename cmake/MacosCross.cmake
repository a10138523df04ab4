# The cross-build to macOS from Linux (the macos-cross preset): both tools for
# arm64 and x86_64, macOS 11.0 and later, built with zig 0.11.0 (which
# scripts/fetch-zig.sh fetches) and joined into universal binaries:
#
#   build/macos-cross/universal/brackwell
#   build/macos-cross/universal/brackwell-stamp
#
# This directory builds nothing itself: each architecture is a build of the
# whole project of its own (build/macos-cross/<arch>), configured with
# cmake/ZigMacosToolchain.cmake and the settings this build was given
# (optimised, tinyxml2 linked in from its source archive, stripped), with our
# warning flags, warnings as errors. llvm-lipo joins the pairs, and the test
# step checks what ships (tests/shipping/macho_check.cpp and
# check_macho_rejects.sh).
include(ExternalProject)

set(BRACKWELL_ZIG "${PROJECT_SOURCE_DIR}/build/third_party/zig-0.11.0/zig"
    CACHE FILEPATH "zig 0.11.0 for Linux x86_64 (scripts/fetch-zig.sh puts it there)")
if(NOT EXISTS "${BRACKWELL_ZIG}")
  message(FATAL_ERROR "zig not found at '${BRACKWELL_ZIG}': run scripts/fetch-zig.sh first, "
                      "or pass -DBRACKWELL_ZIG=<path of zig 0.11.0>")
endif()
# zig's cache (the libc++ it builds for each target, every object) lives
# outside the build tree, so that a new build directory or a fresh clone
# reuses it: about a minute instead of four or five.
if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
  set(_brackwell_cache_home "$ENV{XDG_CACHE_HOME}")
else()
  set(_brackwell_cache_home "$ENV{HOME}/.cache")
endif()
set(BRACKWELL_ZIG_CACHE "${_brackwell_cache_home}/brackwell/zig-0.11.0"
    CACHE PATH "zig's cache for the macOS cross-build")

find_program(BRACKWELL_LLVM_LIPO NAMES llvm-lipo-14 llvm-lipo REQUIRED)
find_program(BRACKWELL_LLVM_STRIP NAMES llvm-strip-14 llvm-strip REQUIRED)
find_program(BRACKWELL_LLVM_NM NAMES llvm-nm-14 llvm-nm REQUIRED)

set(_brackwell_tools "${CMAKE_BINARY_DIR}/zig-tools")
set(_brackwell_universal "${CMAKE_BINARY_DIR}/universal")
set(_brackwell_slices "")
foreach(target aarch64-macos.11.0 x86_64-macos.11.0)
  string(REGEX REPLACE "-.*" "" arch "${target}")
  if(arch STREQUAL "aarch64")
    set(arch arm64)
  endif()
  # One executable per tool and target, as CMake wants a compiler to be.
  foreach(tool cc c++ ar ranlib)
    set(ZIG "${BRACKWELL_ZIG}")
    set(ZIG_COMMAND "${tool}")
    set(ZIG_TARGET "${target}")
    set(ZIG_CACHE "${BRACKWELL_ZIG_CACHE}")
    set(ZIG_TARGET_ARGS "")
    if(tool MATCHES "^c")
      set(ZIG_TARGET_ARGS "-target ${target}")
    endif()
    configure_file("${PROJECT_SOURCE_DIR}/cmake/zig-tool.sh.in" "${_brackwell_tools}/${target}-${tool}" @ONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                    WORLD_READ WORLD_EXECUTE)
  endforeach()

  # Only the two tools are built: the test suite needs a Linux host to run.
  # With Make, $(MAKE) shares this build's job slots with the architecture's
  # build.
  if(CMAKE_GENERATOR MATCHES "Makefiles")
    set(build_command "$(MAKE)" brackwell brackwell-stamp)
  else()
    set(build_command "${CMAKE_COMMAND}" --build <BINARY_DIR> --target brackwell brackwell-stamp)
  endif()
  set(binary_dir "${CMAKE_BINARY_DIR}/${arch}")
  ExternalProject_Add(brackwell-${arch}
    SOURCE_DIR "${PROJECT_SOURCE_DIR}"
    BINARY_DIR "${binary_dir}"
    CMAKE_ARGS
      "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/ZigMacosToolchain.cmake"
      "-DBRACKWELL_ZIG_TOOLS=${_brackwell_tools}"
      "-DBRACKWELL_ZIG_TARGET=${target}"
      "-DBRACKWELL_LLVM_STRIP=${BRACKWELL_LLVM_STRIP}"
      "-DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}"
      "-DBRACKWELL_BUNDLE_TINYXML2=${BRACKWELL_BUNDLE_TINYXML2}"
      "-DBRACKWELL_TINYXML2_URL=${BRACKWELL_TINYXML2_URL}"
      "-DBRACKWELL_TINYXML2_SHA256=${BRACKWELL_TINYXML2_SHA256}"
      "-DBRACKWELL_STRIP=${BRACKWELL_STRIP}"
      -DBRACKWELL_TESTS=OFF
    BUILD_COMMAND ${build_command}
    BUILD_ALWAYS TRUE
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS "${binary_dir}/src/app/brackwell" "${binary_dir}/src/stamp/brackwell-stamp"
    USES_TERMINAL_CONFIGURE TRUE
    USES_TERMINAL_BUILD TRUE)
  list(APPEND _brackwell_slices ${arch})
endforeach()

foreach(tool brackwell brackwell-stamp)
  if(tool STREQUAL "brackwell")
    set(path src/app/brackwell)
  else()
    set(path src/stamp/brackwell-stamp)
  endif()
  set(inputs "")
  foreach(arch IN LISTS _brackwell_slices)
    list(APPEND inputs "${CMAKE_BINARY_DIR}/${arch}/${path}")
  endforeach()
  add_custom_command(OUTPUT "${_brackwell_universal}/${tool}"
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${_brackwell_universal}"
    COMMAND "${BRACKWELL_LLVM_LIPO}" -create ${inputs} -output "${_brackwell_universal}/${tool}"
    DEPENDS ${inputs} brackwell-arm64 brackwell-x86_64
    COMMENT "Joining ${tool}'s arm64 and x86_64 executables into build/macos-cross/universal/${tool}"
    VERBATIM)
  list(APPEND _brackwell_universal_files "${_brackwell_universal}/${tool}")
endforeach()
add_custom_target(universal ALL DEPENDS ${_brackwell_universal_files})

# The checker runs here, on the build machine, built with our own flags.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
add_executable(macho_check tests/shipping/macho_check.cpp)
target_include_directories(macho_check PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(macho_check PRIVATE OpenSSL::Crypto brackwell_warnings)

enable_testing()
foreach(tool brackwell brackwell-stamp)
  add_test(NAME ${tool}_universal_test
           COMMAND macho_check "@(#)${tool} ${PROJECT_VERSION}" 11.0 "${_brackwell_universal}/${tool}")
  # Each check, once more, on a copy that lacks what it checks: it must fail,
  # naming what is missing.
  add_test(NAME ${tool}_universal_check_rejects_test
           COMMAND sh "${PROJECT_SOURCE_DIR}/tests/shipping/check_macho_rejects.sh" $<TARGET_FILE:macho_check>
                   "@(#)${tool} ${PROJECT_VERSION}" "${_brackwell_universal}/${tool}" "${BRACKWELL_LLVM_LIPO}")
  # Stripped like the release build: no symbol but the one dyld needs.
  add_test(NAME ${tool}_stripped_test
           COMMAND sh "${PROJECT_SOURCE_DIR}/tests/shipping/check_identity.sh" ${tool} "${PROJECT_VERSION}"
                   "$<IF:$<BOOL:${BRACKWELL_STRIP}>,stripped,unstripped>" "${_brackwell_universal}/${tool}")
  set_tests_properties(${tool}_stripped_test PROPERTIES ENVIRONMENT "NM=${BRACKWELL_LLVM_NM}")
endforeach()
