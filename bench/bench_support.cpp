#include "bench_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <stdexcept>
#include <unistd.h>

#include "profile/profile_trailer.h"
#include "support/test_support.h"

namespace benchsupport {

SilencedCout::SilencedCout() : saved_(std::cout.rdbuf(&buffer_)) {}

SilencedCout::~SilencedCout() {
  std::cout.rdbuf(saved_);
}

std::vector<testsupport::Attached> attachedImages(int count) {
  std::vector<testsupport::Attached> images;
  for (int i = 0; i < count; ++i) {
    const std::string n = std::to_string(i + 1);
    switch (i % 3) {
    case 0: {
      const std::string path = "/Users/jdoe/Downloads/Acme Suite 12.4." + n + " Installer.dmg";
      images.push_back({path, path, {"/Volumes/Acme Suite " + n}});
      break;
    }
    case 1: {
      const std::string path = "/var/folders/x4/9k2_bq1n6xd4l0v3h8y7mz2c0000gn/T/AppTranslocation/"
                               "5C1E63A4-2B7D-4F0A-9E51-" +
                               n + "/d/Setup.dmg";
      images.push_back({path, "/private" + path, {"/Volumes/Setup " + n}});
      break;
    }
    default: {
      const std::string path = "/Users/jdoe/Library/Caches/com.acme.updater/Update-" + n + ".sparseimage";
      images.push_back({path, path, {"/Volumes/Update " + n, "/Volumes/Update " + n + " Data"}});
      break;
    }
    }
  }
  return images;
}

namespace {

void writeAllAt(int fd, const std::uint8_t* bytes, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    const ssize_t wrote = pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      throw std::runtime_error(std::string("pwrite: ") + std::strerror(errno));
    }
    bytes += wrote;
    size -= static_cast<std::size_t>(wrote);
    offset += static_cast<std::uint64_t>(wrote);
  }
}

} // namespace

void writeSparseImage(const std::string& path, std::uint64_t imageSize, std::uint32_t profileSize) {
  using namespace profile_trailer;
  const std::uint64_t tailSize = std::uint64_t{profileSize} + DESCRIPTOR_SIZE + TRAILER_SIZE;
  if (imageSize < tailSize) {
    throw std::invalid_argument("image smaller than its profile");
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  }
  if (ftruncate(fd, static_cast<off_t>(imageSize)) != 0) {
    close(fd);
    throw std::runtime_error("cannot size " + path + ": " + std::strerror(errno));
  }

  // The profile in 1 MiB pieces, so that a large one is never held whole.
  std::uint64_t state = 0x9e3779b97f4a7c15u ^ profileSize;
  std::vector<std::uint8_t> piece(std::size_t{1} << 20);
  std::uint64_t offset = imageSize - tailSize;
  for (std::uint64_t left = profileSize; left > 0;) {
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
    for (std::size_t i = 0; i < size; ++i) { // xorshift64: cheap bytes that are not all zero
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      piece[i] = static_cast<std::uint8_t>(state >> 24);
    }
    writeAllAt(fd, piece.data(), size, offset);
    offset += size;
    left -= size;
  }
  const Descriptor descriptor = encodeDescriptor(profileSize);
  writeAllAt(fd, descriptor.data(), descriptor.size(), offset);
  const testsupport::Bytes trailer = testsupport::udifTrailer();
  writeAllAt(fd, trailer.data(), trailer.size(), offset + descriptor.size());
  const bool synced = fsync(fd) == 0;
  if (close(fd) != 0 || !synced) {
    throw std::runtime_error("cannot write " + path);
  }
}

std::string binarySize(std::uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  while (unit + 1 < sizeof units / sizeof units[0] && bytes >= 1024 && bytes % 1024 == 0) {
    bytes /= 1024;
    ++unit;
  }
  return std::to_string(bytes) + units[unit];
}

} // namespace benchsupport
