# The Debian packages, written by `cmake --workflow --preset package` into
# build/package/ with CPack's DEB generator, one per install component:
#
#   brackwell-stamp_<version>_<arch>.deb (component "stamp"), for build
#   servers: the tool, its manual page compressed, and the two files Debian
#   wants in every package, usr/share/doc/<package>/copyright
#   (machine-readable) and its changelog;
#
#   libnginx-mod-http-brackwell-stamp_<version>_<arch>.deb (component
#   "nginx_module", in builds with BRACKWELL_NGINX_MODULE), for download
#   servers, shaped like Debian's own libnginx-mod-* packages: the module in
#   /usr/lib/nginx/modules/, its load_module line in
#   /usr/share/nginx/modules-available/mod-http-brackwell-stamp.conf, enabled
#   by maintainer scripts through a link in /etc/nginx/modules-enabled/, and a
#   dependency on the nginx ABI it was built for (nginx-abi-*, which Debian's
#   nginx provides), as dh_nginx would write it.
#
# Their other dependencies are the shared libraries they load, as
# dpkg-shlibdeps (Debian package dpkg-dev) finds them. lintian finds no error
# in either (lintian_test, tests/shipping/).
#
# The packages are native: we are upstream and packager at once, so their
# version is the project's, with no Debian revision, and the Debian changelog
# is installed as changelog.gz (Debian Policy 12.7), from
# packaging/debian/changelog.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brackwell-stamp)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# Each package's description: its summary, then the long description.
# (CPACK_PACKAGE_DESCRIPTION_SUMMARY stays unset: CPack would put that one
# summary on top of every package's description.)
set(CPACK_COMPONENT_STAMP_DESCRIPTION
    "put a customer profile into a macOS installer disk image
brackwell-stamp puts a profile (opaque bytes, such as a licence) into a UDIF
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

if(BRACKWELL_NGINX_MODULE)
  set(module_package libnginx-mod-http-brackwell-stamp)
  # The ABI the module was built for, from the nginx-dev it was built with,
  # where dh_nginx reads it too.
  set(abi_file "${BRACKWELL_NGINX_SOURCE}/debian/libnginx-mod.abisubstvars")
  file(STRINGS "${abi_file}" abi REGEX "^nginx:abi=")
  if(NOT abi MATCHES "^nginx:abi=(nginx-abi-[^ ]+)$")
    message(FATAL_ERROR "no nginx:abi=nginx-abi-... line in ${abi_file} (Debian's nginx-dev)")
  endif()
  set(BRACKWELL_NGINX_ABI "${CMAKE_MATCH_1}")

  # Stripped as dh_strip strips a shared object: a package carries no debug
  # information (Debian puts it in a -dbgsym package of its own).
  set(stripped_module "${BRACKWELL_DEBIAN_BUILD}/ngx_http_brackwell_stamp_module.so")
  add_custom_command(OUTPUT "${stripped_module}"
                     COMMAND "${CMAKE_STRIP}" --remove-section=.comment --remove-section=.note --strip-unneeded
                             -o "${stripped_module}" "${BRACKWELL_NGINX_MODULE_FILE}"
                     DEPENDS ngx_http_brackwell_stamp_module "${BRACKWELL_NGINX_MODULE_FILE}" VERBATIM)
  add_custom_target(brackwell_debian_module ALL DEPENDS "${stripped_module}")

  install(FILES "${stripped_module}" DESTINATION lib/nginx/modules COMPONENT nginx_module EXCLUDE_FROM_ALL)
  install(FILES "${BRACKWELL_DEBIAN_SOURCE}/mod-http-brackwell-stamp.conf"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/nginx/modules-available" COMPONENT nginx_module EXCLUDE_FROM_ALL)
  install(FILES "${BRACKWELL_DEBIAN_SOURCE}/${module_package}.copyright"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${module_package}" RENAME copyright
          COMPONENT nginx_module EXCLUDE_FROM_ALL)
  install(FILES "${BRACKWELL_DEBIAN_BUILD}/changelog.gz" DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${module_package}"
          COMPONENT nginx_module EXCLUDE_FROM_ALL)

  list(APPEND CPACK_COMPONENTS_ALL nginx_module)
  set(CPACK_DEBIAN_NGINX_MODULE_PACKAGE_NAME "${module_package}")
  set(CPACK_DEBIAN_NGINX_MODULE_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_NGINX_MODULE_PACKAGE_SECTION httpd)
  set(CPACK_DEBIAN_NGINX_MODULE_PACKAGE_DEPENDS "${BRACKWELL_NGINX_ABI}")
  set(CPACK_DEBIAN_NGINX_MODULE_PACKAGE_RECOMMENDS nginx)
  set(CPACK_COMPONENT_NGINX_MODULE_DESCRIPTION
      "nginx module that stamps customer profiles into disk images as they are sent
ngx_http_brackwell_stamp_module answers download links signed with a key of
the server's (HMAC-SHA256, with an expiry time) by sending a UDIF disk image
with the customer's profile put in front of its trailer, as brackwell-stamp
would write it, without writing the stamped image anywhere: the image's own
bytes go out with sendfile, as for a static file. Ranges, resumed downloads
and conditional requests work as for a static file.")
  # postinst, prerm, postrm: the modules-enabled link, as dh_nginx's scripts
  # keep it for Debian's own modules.
  set(CPACK_DEBIAN_NGINX_MODULE_PACKAGE_CONTROL_EXTRA
      "${BRACKWELL_DEBIAN_SOURCE}/${module_package}/postinst" "${BRACKWELL_DEBIAN_SOURCE}/${module_package}/prerm"
      "${BRACKWELL_DEBIAN_SOURCE}/${module_package}/postrm")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
