// Pieces shared by the benchmark program and its helpers: a sink for the
// console output the code under measurement produces, realistic sets of
// attached images, and sparse disk images carrying a profile.
#pragma once

#include <cstdint>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "support/listings.h"

namespace benchsupport {

// Accepts and drops everything. Whole blocks go through xsputn, so a long
// line costs one virtual call rather than one per character.
class NullBuffer : public std::streambuf {
protected:
  std::streamsize xsputn(const char* /*text*/, std::streamsize count) override { return count; }
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
};

class NullStream : public std::ostream {
public:
  NullStream() : std::ostream(nullptr) { rdbuf(&buffer_); }

private:
  NullBuffer buffer_;
};

// Points std::cout at a NullBuffer for as long as it lives: the property-list
// parser reports its progress there, and a terminal's speed is not ours.
class SilencedCout {
public:
  SilencedCout();
  ~SilencedCout();
  SilencedCout(const SilencedCout&) = delete;
  SilencedCout& operator=(const SilencedCout&) = delete;

private:
  NullBuffer buffer_;
  std::streambuf* saved_;
};

// `count` attached images as a developer's machine shows them: installers in
// Downloads, images opened from a translocated temporary folder (listed under
// /var, found under /private/var), and images with two file systems.
std::vector<testsupport::Attached> attachedImages(int count);

// Makes `path` a file of exactly `imageSize` bytes that ends in `profileSize`
// pseudo-random bytes, their descriptor and a UDIF trailer. Everything in
// front is a hole, so a 64 GiB image takes only its tail on disk. The file is
// synced, so that its pages can be dropped from the page cache.
void writeSparseImage(const std::string& path, std::uint64_t imageSize, std::uint32_t profileSize);

// Bytes as "64KiB", "1GiB".
std::string binarySize(std::uint64_t bytes);

} // namespace benchsupport
