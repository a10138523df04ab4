# tinyxml2 built from its source archive as a static library, so that the
# binary loads no libtinyxml2 at run time: a customer's Mac has none. Provides
# the same target name as the platform package, tinyxml2::tinyxml2.
#
# The archive is the upstream 9.0.0 release by default. Its SHA256 below is the
# one that Homebrew's tinyxml2 formula (and other published build recipes)
# record for GitHub's archive of the 9.0.0 tag; it could not be checked against
# the archive itself from the machine this was written on (no route to GitHub),
# so the first build on a connected machine is that check: a different archive
# stops the download with a hash mismatch, never builds it.
#
# Any other copy of the same release works, as a URL, a file:// URL or a plain
# path, for instance Debian's tinyxml2_9.0.0+dfsg.orig.tar.xz, which
# scripts/fetch-tinyxml2-source.sh fetches for the release and libcxx presets.
# Whoever passes another URL passes its SHA256 too.
include(FetchContent)

set(BRACKWELL_TINYXML2_DEFAULT_URL "https://github.com/leethomason/tinyxml2/archive/refs/tags/9.0.0.tar.gz")
set(BRACKWELL_TINYXML2_DEFAULT_SHA256 "cc2f1417c308b1f6acc54f88eb70771a0bf65f76282ce5c40e54cfe52952702c")
set(BRACKWELL_TINYXML2_URL "${BRACKWELL_TINYXML2_DEFAULT_URL}"
    CACHE STRING "tinyxml2 source archive (URL, file:// URL or path) built into brackwell")
set(BRACKWELL_TINYXML2_SHA256 "${BRACKWELL_TINYXML2_DEFAULT_SHA256}"
    CACHE STRING "SHA256 of the archive named by BRACKWELL_TINYXML2_URL")

if(NOT BRACKWELL_TINYXML2_URL STREQUAL BRACKWELL_TINYXML2_DEFAULT_URL AND
   BRACKWELL_TINYXML2_SHA256 STREQUAL BRACKWELL_TINYXML2_DEFAULT_SHA256)
  message(FATAL_ERROR
    "BRACKWELL_TINYXML2_URL is '${BRACKWELL_TINYXML2_URL}' but BRACKWELL_TINYXML2_SHA256 is still the "
    "upstream archive's: pass the SHA256 of that archive (sha256sum <archive>) as "
    "-DBRACKWELL_TINYXML2_SHA256=<64 hex digits>")
endif()
if(NOT BRACKWELL_TINYXML2_SHA256 MATCHES "^[0-9a-fA-F]+$")
  message(FATAL_ERROR
    "BRACKWELL_TINYXML2_SHA256 is empty or not hexadecimal: pass the SHA256 of '${BRACKWELL_TINYXML2_URL}' "
    "(sha256sum <archive>) as -DBRACKWELL_TINYXML2_SHA256=<64 hex digits>")
endif()
string(LENGTH "${BRACKWELL_TINYXML2_SHA256}" _brackwell_sha256_length)
if(NOT _brackwell_sha256_length EQUAL 64)
  message(FATAL_ERROR "BRACKWELL_TINYXML2_SHA256 has ${_brackwell_sha256_length} hex digits; a SHA256 has 64")
endif()

# A local archive that is missing gets a hint instead of a download error.
set(_brackwell_tinyxml2_file "")
if(BRACKWELL_TINYXML2_URL MATCHES "^file://(.*)$")
  set(_brackwell_tinyxml2_file "${CMAKE_MATCH_1}")
elseif(NOT BRACKWELL_TINYXML2_URL MATCHES "^[A-Za-z][A-Za-z0-9+.-]*://")
  set(_brackwell_tinyxml2_file "${BRACKWELL_TINYXML2_URL}")
endif()
if(_brackwell_tinyxml2_file AND NOT EXISTS "${_brackwell_tinyxml2_file}")
  message(FATAL_ERROR
    "tinyxml2 source archive '${_brackwell_tinyxml2_file}' does not exist. On Debian, "
    "scripts/fetch-tinyxml2-source.sh puts Debian's copy where the release and libcxx presets look for it.")
endif()

# Populated directly (not declared, then made available) so that the
# subdirectory can be added below with EXCLUDE_FROM_ALL, which
# FetchContent_Declare only takes from CMake 3.28 on.
FetchContent_Populate(tinyxml2
  URL "${BRACKWELL_TINYXML2_URL}"
  URL_HASH "SHA256=${BRACKWELL_TINYXML2_SHA256}"
  DOWNLOAD_EXTRACT_TIMESTAMP TRUE
  QUIET
  SUBBUILD_DIR "${FETCHCONTENT_BASE_DIR}/tinyxml2-subbuild"
  SOURCE_DIR "${FETCHCONTENT_BASE_DIR}/tinyxml2-src"
  BINARY_DIR "${FETCHCONTENT_BASE_DIR}/tinyxml2-build")

# A static library without tinyxml2's own tests. EXCLUDE_FROM_ALL keeps its
# install rules (library, header, CMake package) out of `cmake --install`;
# SYSTEM keeps its header out of our warnings. Our warning flags never reach
# it: they belong to the brackwell_warnings target, not to the directory.
set(tinyxml2_SHARED_LIBS OFF)
set(tinyxml2_BUILD_TESTING OFF)
add_subdirectory("${tinyxml2_SOURCE_DIR}" "${tinyxml2_BINARY_DIR}" EXCLUDE_FROM_ALL SYSTEM)
