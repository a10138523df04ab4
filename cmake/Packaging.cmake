# The Debian package of brackwell-stamp, for build servers:
# `cmake --workflow --preset package` writes
# build/package/brackwell-stamp_<version>_<arch>.deb with CPack's DEB
# generator. It holds the install component "stamp": the tool, its manual page
# compressed, and the two files Debian wants in every package,
# usr/share/doc/<package>/copyright (machine-readable) and its changelog. Its
# dependencies are the shared libraries the tool loads, as dpkg-shlibdeps
# (Debian package dpkg-dev) finds them: the C and C++ runtimes. lintian finds
# no error in it (lintian_test, tests/shipping/).
#
# The package is native: we are upstream and packager at once, so its version
# is the project's, with no Debian revision, and the Debian changelog is
# installed as changelog.gz (Debian Policy 12.7), from packaging/debian/changelog.
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
option(BRACKWELL_CHECK_PACKAGE "Check the Debian package with dpkg-deb and lintian (after the package step)" OFF)

# The changelog is the package's history, kept by hand; its latest entry must
# be the version being built, as dpkg-buildpackage would insist.
set(BRACKWELL_DEBIAN_SOURCE "${PROJECT_SOURCE_DIR}/packaging/debian")
file(STRINGS "${BRACKWELL_DEBIAN_SOURCE}/changelog" latest_entry LIMIT_COUNT 1)
if(NOT latest_entry MATCHES "^brackwell \\(([^) ]+)\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the first line is not a changelog entry's: '${latest_entry}'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/debian/changelog's latest entry is for ${CMAKE_MATCH_1}, the project is "
                      "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION}")
endif()

# What only the package holds, compressed the way Debian compresses it: gzip
# at its best ratio, with no name or time stamp in the header (-n), so that the
# same sources give the same bytes.
set(BRACKWELL_DEBIAN_BUILD "${PROJECT_BINARY_DIR}/debian")
function(brackwell_debian_gzip source output)
  add_custom_command(OUTPUT "${BRACKWELL_DEBIAN_BUILD}/${output}"
                     COMMAND "${CMAKE_COMMAND}" -E make_directory "${BRACKWELL_DEBIAN_BUILD}"
                     COMMAND sh -c "gzip -9n -c \"$1\" >\"$2\"" sh "${source}" "${BRACKWELL_DEBIAN_BUILD}/${output}"
                     DEPENDS "${source}" VERBATIM)
endfunction()
brackwell_debian_gzip("${PROJECT_SOURCE_DIR}/man/brackwell-stamp.1" brackwell-stamp.1.gz)
brackwell_debian_gzip("${BRACKWELL_DEBIAN_SOURCE}/changelog" changelog.gz)
add_custom_target(brackwell_debian_files ALL
                  DEPENDS "${BRACKWELL_DEBIAN_BUILD}/brackwell-stamp.1.gz" "${BRACKWELL_DEBIAN_BUILD}/changelog.gz")

# EXCLUDE_FROM_ALL: `cmake --install` leaves these out (it installs the plain
# manual page); CPack, installing the component alone, puts them in.
install(FILES "${BRACKWELL_DEBIAN_BUILD}/brackwell-stamp.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1"
        COMPONENT stamp EXCLUDE_FROM_ALL)
install(FILES "${BRACKWELL_DEBIAN_SOURCE}/brackwell-stamp.copyright" DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/brackwell-stamp"
        RENAME copyright COMPONENT stamp EXCLUDE_FROM_ALL)
install(FILES "${BRACKWELL_DEBIAN_BUILD}/changelog.gz" DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/brackwell-stamp"
        COMPONENT stamp EXCLUDE_FROM_ALL)
include(CPack)
