# The Debian package of brackwell-stamp, for build servers:
# `cmake --workflow --preset package` writes
# build/package/brackwell-stamp_<version>_<arch>.deb with CPack's DEB
# generator. It holds the install component "stamp" alone (the tool and its
# manual page, under /usr), and its dependencies are the shared libraries the
# tool loads, as dpkg-shlibdeps (Debian package dpkg-dev) finds them: the C
# and C++ runtimes.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brackwell-stamp)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "put a customer profile into a macOS installer disk image")
# The package's long description, under the summary.
set(CPACK_COMPONENT_STAMP_DESCRIPTION
    "brackwell-stamp puts a profile (opaque bytes, such as a licence) into a UDIF
disk image, in front of its trailer, where the brackwell tool on the
customer's Mac reads it; it shows, extracts and removes it again, takes a
code signature off, and can write the stamped image to standard output.")
set(CPACK_PACKAGE_CONTACT "brackwell developers <brackwell@example.invalid>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL stamp)
set(CPACK_DEBIAN_STAMP_PACKAGE_NAME brackwell-stamp)
set(CPACK_DEBIAN_STAMP_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The architecture in the file name, as dpkg names it (amd64, arm64...);
# known here so that the package's check can name the file it looks at.
find_program(BRACKWELL_DPKG dpkg)
if(BRACKWELL_DPKG)
  execute_process(COMMAND "${BRACKWELL_DPKG}" --print-architecture
                  OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
option(BRACKWELL_CHECK_PACKAGE "Check the Debian package with dpkg-deb (after the package step)" OFF)
include(CPack)
