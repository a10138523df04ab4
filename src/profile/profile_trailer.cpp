#include "profile/profile_trailer.h"

#include "fileio/byte_order.h"
#include "fileio/fd.h"
#include "fileio/io.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <new>
#include <ostream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace profile_trailer {

using fileio::readAt;

namespace {

// Type, magic and length of the descriptor that ends at `trailerOffset`, in
// that order; the first that fails decides `location.status`.
void checkDescriptor(const Descriptor& descriptor, std::uint64_t trailerOffset, Location& location) {
  location.status = Status::wrong_type;
  location.length = fileio::readBigEndian<std::uint32_t>(descriptor.data());
  if (descriptor[4] != PROFILE_TYPE) {
    return;
  }
  if (!std::equal(MAGIC.begin(), MAGIC.end(), descriptor.begin() + 5)) {
    location.status = Status::magic_mismatch;
    return;
  }
  // A damaged length must not ask for gigabytes: it has to fit in front of
  // the descriptor before any buffer is made for it.
  const std::uint64_t room = trailerOffset - DESCRIPTOR_SIZE;
  if (location.length > room) {
    location.status = Status::length_too_large;
    return;
  }
  location.profileOffset = room - location.length;
  location.status = Status::ok;
}

} // namespace

Descriptor encodeDescriptor(std::uint32_t length) {
  Descriptor descriptor{};
  fileio::writeBigEndian(length, descriptor.data());
  descriptor[4] = PROFILE_TYPE;
  std::copy(MAGIC.begin(), MAGIC.end(), descriptor.begin() + 5);
  return descriptor;
}

Location locate(int fd) {
  Location location;
  const auto size = fileio::sizeOf(fd);
  if (!size) {
    location.readError = size.error();
    return location; // no_trailer
  }
  location.fileSize = *size;
  if (location.fileSize < TRAILER_SIZE) {
    return location;
  }
  const std::uint64_t trailerOffset = location.fileSize - TRAILER_SIZE;

  // The descriptor ends where the signature begins, so one read takes both
  // when the file has room for them. Should it come back short, each is read
  // on its own as before, so that the first one missing decides the status.
  std::array<std::uint8_t, DESCRIPTOR_SIZE + TRAILER_SIGNATURE.size()> end{};
  const bool endRead = location.fileSize >= TRAILER_SIZE + DESCRIPTOR_SIZE &&
                       readAt(fd, trailerOffset - DESCRIPTOR_SIZE, end.data(), end.size()).has_value();

  std::array<std::uint8_t, 4> signature{};
  if (endRead) {
    std::copy(end.begin() + DESCRIPTOR_SIZE, end.end(), signature.begin());
  } else if (auto read = readAt(fd, trailerOffset, signature.data(), signature.size()); !read) {
    location.readError = read.error();
    return location;
  }
  if (signature != TRAILER_SIGNATURE) {
    return location;
  }

  // A file of 512 to 527 bytes has a trailer but no room for a descriptor:
  // it fails at the first descriptor field, the type.
  location.status = Status::wrong_type;
  if (location.fileSize < TRAILER_SIZE + DESCRIPTOR_SIZE) {
    return location;
  }
  Descriptor descriptor{};
  if (endRead) {
    std::copy(end.begin(), end.begin() + DESCRIPTOR_SIZE, descriptor.begin());
  } else if (auto read = readAt(fd, trailerOffset - DESCRIPTOR_SIZE, descriptor.data(), descriptor.size());
             !read) {
    location.readError = read.error();
    return location;
  }
  checkDescriptor(descriptor, trailerOffset, location);
  return location;
}

Location locateInEnd(const std::uint8_t* end, std::uint64_t fileSize) {
  Location location;
  location.fileSize = fileSize;
  if (fileSize < TRAILER_SIZE) {
    return location; // no_trailer
  }
  const std::uint64_t trailerOffset = fileSize - TRAILER_SIZE;
  const std::uint64_t endSize = std::min<std::uint64_t>(fileSize, TRAILER_SIZE + DESCRIPTOR_SIZE);
  const std::uint8_t* trailer = end + (endSize - TRAILER_SIZE);
  if (!std::equal(TRAILER_SIGNATURE.begin(), TRAILER_SIGNATURE.end(), trailer)) {
    return location;
  }
  location.status = Status::wrong_type;
  if (fileSize < TRAILER_SIZE + DESCRIPTOR_SIZE) {
    return location;
  }
  Descriptor descriptor{};
  std::copy(end, end + DESCRIPTOR_SIZE, descriptor.begin());
  checkDescriptor(descriptor, trailerOffset, location);
  return location;
}

Location locateInFrontOf(int fd, std::uint64_t trailerOffset) {
  Location location;
  location.fileSize = trailerOffset + TRAILER_SIZE;
  location.status = Status::wrong_type;
  Descriptor descriptor{};
  if (trailerOffset < DESCRIPTOR_SIZE ||
      !readAt(fd, trailerOffset - DESCRIPTOR_SIZE, descriptor.data(), descriptor.size())) {
    return location;
  }
  checkDescriptor(descriptor, trailerOffset, location);
  return location;
}

std::string readerMessage(const Location& location) {
  switch (location.status) {
  case Status::ok:
    return "Profile found";
  case Status::no_trailer:
    return "'koly' block not found";
  case Status::wrong_type:
    return "Embedded data not of type 'A'";
  case Status::magic_mismatch:
    return "Magic string mismatch";
  case Status::length_too_large:
    return "Profile length " + std::to_string(location.length) + " exceeds the " +
           std::to_string(location.fileSize - TRAILER_SIZE - DESCRIPTOR_SIZE) +
           " bytes in front of its descriptor";
  }
  return "Unknown profile status";
}

} // namespace profile_trailer

namespace {

#ifdef MADV_POPULATE_WRITE
// Profiles this large get their pages mapped up front (see prefault). Only
// where the system can do that: elsewhere (macOS) an unused constant is an
// error under our warning flags.
constexpr std::size_t PREFAULT_FROM = std::size_t{4} << 20;
#endif

// The vector that receives a profile is zero-filled before the read, so each
// of its fresh pages is first touched from user space, one page fault at a
// time, and then again by the kernel's copy. Where the system can, have the
// kernel map the whole buffer in one call instead. Smaller buffers mostly
// reuse memory the process or the system has just freed, whose faults are
// cheap; from a few megabytes on, the faults cost more than the read, and the
// zero-fill made a large profile take half as long again as reading it.
// Memory we own, about to be written anyway: nothing changes but the speed,
// and a failure only costs the speed.
void prefault(std::uint8_t* buffer, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
  if (size < PREFAULT_FROM) {
    return;
  }
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(buffer);
  const std::uintptr_t first = (start + page - 1) / page * page; // whole pages only
  const std::uintptr_t end = (start + size) / page * page;
  madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
  static_cast<void>(buffer);
  static_cast<void>(size);
#endif
}

} // namespace

namespace profile_trailer {

Found openProfile(const std::string& path, std::ostream& log) {
  log << "Extracting profile from DMG at '" << path << "'" << std::endl;

  // O_NONBLOCK keeps a FIFO given as the image from blocking the run until a
  // writer appears; it changes nothing for regular files and devices.
  Found found;
  found.file.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (found.file.valid()) {
    found.location = locate(found.file.get());
  } else {
    found.location.readError = fileio::systemError(errno);
  }
  if (found.location.status != Status::ok) {
    log << readerMessage(found.location) << std::endl;
  }
  return found;
}

} // namespace profile_trailer

ProfileReadResult readProfileFrom(const std::string& path, std::ostream& log) {
  using namespace profile_trailer;
  const Found found = openProfile(path, log);
  if (found.location.status != Status::ok) {
    return {false, {}};
  }
  const Location& location = found.location;

  // The length is checked against the file, but a file can be as large as
  // the length allows (4 GiB): a memory limit may still refuse the buffer,
  // and that ends the read like any other failure, not the run.
  std::vector<std::uint8_t> profile;
  try {
    profile.reserve(location.length);
  } catch (const std::bad_alloc&) {
    log << "Can't read profile data: not enough memory for " << location.length << " bytes" << std::endl;
    return {false, {}};
  }
  prefault(profile.data(), location.length);
  profile.resize(location.length);
  if (auto read = readAt(found.file.get(), location.profileOffset, profile.data(), profile.size()); !read) {
    // The file shrank or failed under us: never hand out a partial profile.
    log << "Can't read profile data: " << read.error().message << std::endl;
    return {false, {}};
  }
  return {true, std::move(profile)};
}

ProfileReadResult readProfileFrom(const std::string& path) {
  return readProfileFrom(path, std::cout);
}
