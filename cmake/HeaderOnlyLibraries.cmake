# tl::expected (results that hold a value or an error, src/fileio/result.h)
# and nlohmann::json (the JSON brackwell-stamp prints) are header-only.
#
# A native build finds them as the platform's packages (Debian's
# libexpected-dev and nlohmann-json3-dev, Homebrew's tl-expected and
# nlohmann-json). The cross-build to macOS cannot put the build machine's
# /usr/include on its include path, which holds Linux's C headers; there each
# library's own header directory is copied into the build tree and offered
# alone, under the same target names.
if(CMAKE_CROSSCOMPILING)
  set(_brackwell_headers "${CMAKE_BINARY_DIR}/header-only-libraries")
  foreach(library IN ITEMS "tl::expected;tl/expected.hpp;tl" "nlohmann_json::nlohmann_json;nlohmann/json.hpp;nlohmann")
    list(GET library 0 target)
    list(GET library 1 header)
    list(GET library 2 directory)
    string(MAKE_C_IDENTIFIER "BRACKWELL_${directory}_INCLUDE" variable)
    find_path(${variable} "${header}" NO_CMAKE_FIND_ROOT_PATH)
    if(NOT ${variable})
      message(FATAL_ERROR "${header} not found on the build machine: install its package (scripts/install-deps.sh)")
    endif()
    file(COPY "${${variable}}/${directory}" DESTINATION "${_brackwell_headers}")
    add_library(${target} INTERFACE IMPORTED)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${_brackwell_headers}")
  endforeach()
else()
  find_package(tl-expected 1.0 REQUIRED)
  find_package(nlohmann_json 3.9 REQUIRED)
endif()
