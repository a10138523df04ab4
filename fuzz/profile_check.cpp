#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "checks.h"
#include "fileio/byte_order.h"
#include "fileio/fd.h"
#include "fileio/io.h"
#include "profile/profile_trailer.h"
#include "support/two_groups.h"

namespace fuzzcheck {

using testsupport::visible;

namespace {

// The layout as the README draws it, written out again here rather than taken
// from the reader's own constants, so that the two can disagree (the byte
// order, a mechanism rather than the layout, is the one every part shares).
struct Expectation {
  bool ok = false;
  std::string message;      // the reader's line after "Extracting...", when !ok
  std::string_view profile; // when ok
};

Expectation expectationFor(std::string_view image) {
  const std::size_t size = image.size();
  if (size < 512 || image.substr(size - 512, 4) != "koly") {
    return {false, "'koly' block not found", {}};
  }
  if (size < 528 || image[size - 524] != 'A') {
    return {false, "Embedded data not of type 'A'", {}};
  }
  static const char magic[] = "\xba\x37\x42\xac\x84\x27\xea\x99\x7c\x65\xbb";
  if (image.substr(size - 523, 11) != std::string_view(magic, 11)) {
    return {false, "Magic string mismatch", {}};
  }
  const std::uint64_t length =
      fileio::readBigEndian<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(image.data() + size - 528));
  const std::uint64_t room = size - 528;
  if (length > room) {
    return {false,
            "Profile length " + std::to_string(length) + " exceeds the " + std::to_string(room) +
                " bytes in front of its descriptor",
            {}};
  }
  return {true, {}, image.substr(room - length, length)};
}

} // namespace

std::string writeScratch(const std::string& path, std::string_view bytes) {
  fileio::Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  if (!fd.valid()) {
    return "cannot open " + path + ": " + std::strerror(errno);
  }
  const fileio::Result<void> wrote =
      fileio::writeAllAt(fd.get(), reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), 0);
  if (!wrote) {
    return "cannot write " + path + ": " + wrote.error().message;
  }
  if (ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0) {
    return "cannot resize " + path + ": " + std::strerror(errno);
  }
  return fd.closeChecked() ? std::string() : "cannot close " + path + ": " + std::strerror(errno);
}

std::string checkProfile(std::string_view image, const std::string& scratch) {
  const std::string written = writeScratch(scratch, image);
  if (!written.empty()) {
    return written;
  }
  std::ostringstream log;
  const ProfileReadResult result = readProfileFrom(scratch, log);

  const Expectation expected = expectationFor(image);
  const std::string expectedLog = "Extracting profile from DMG at '" + scratch + "'\n" +
                                  (expected.ok ? std::string() : expected.message + "\n");
  if (log.str() != expectedLog) {
    return "reader printed '" + visible(log.str()) + "', expected '" + visible(expectedLog) + "'";
  }
  if (result.first != expected.ok) {
    return std::string("reader reported ") + (result.first ? "success" : "failure") + " after printing '" +
           visible(log.str()) + "'";
  }
  const std::string_view got(reinterpret_cast<const char*>(result.second.data()), result.second.size());
  if (got != expected.profile) {
    return "reader returned " + std::to_string(got.size()) + " bytes '" + visible(got.substr(0, 64)) +
           "', the layout gives " + std::to_string(expected.profile.size()) + " bytes '" +
           visible(expected.profile.substr(0, 64)) + "'";
  }
  return {};
}

} // namespace fuzzcheck
