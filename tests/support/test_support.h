// Helpers shared by the test programs, the fuzz checks and the benchmarks
// (nothing here needs GoogleTest): temporary directories, captured standard
// output, files, disk-image fixtures and the real data beside the repository.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

Bytes toBytes(const std::string& text);

// A fresh directory under $TMPDIR (or /tmp), named <prefix>-XXXXXX, removed
// with its contents when the object goes away.
class TempDir {
public:
  explicit TempDir(const std::string& prefix = "brackwell-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

// Redirects std::cout into a string for as long as the object lives.
class CoutCapture {
public:
  CoutCapture();
  ~CoutCapture();
  CoutCapture(const CoutCapture&) = delete;
  CoutCapture& operator=(const CoutCapture&) = delete;
  std::string text() const { return buffer_.str(); }

private:
  std::ostringstream buffer_;
  std::streambuf* saved_;
};

void writeFile(const std::string& path, const Bytes& bytes);
void writeFile(const std::string& path, const std::string& text);
Bytes readFile(const std::string& path);

// A 512-byte UDIF trailer: "koly", version 4, header size 512, the rest zero.
Bytes udifTrailer();

// The end of a disk image that carries `profile`: `data`, the profile, its
// descriptor and a trailer.
Bytes imageWithProfile(const Bytes& data, const Bytes& profile);

// Image builders, piece by piece.
Bytes cat(std::initializer_list<Bytes> parts);
// The 16 descriptor bytes for a profile of `length` bytes.
Bytes descriptor(std::size_t length);
// `data`, then `profile` and its descriptor, then `tail` (a trailer).
Bytes stamped(const Bytes& data, const Bytes& profile, const Bytes& tail);
// `trailer` with its code-signature fields (bytes 296 and 304, big-endian)
// set to `offset` and `length`.
Bytes withSignatureFields(Bytes trailer, std::uint64_t offset, std::uint64_t length);
// A code-signature superblob of `length` bytes (at least 12): magic
// fa de 0c c0, its length, a blob count, then filler.
Bytes signatureBlob(std::size_t length);
// What codesign makes of the image `unsignedImage` (ending in a trailer):
// its bytes in front of the trailer, then `blob`, then the trailer with
// fields pointing at the blob.
Bytes signedImage(const Bytes& unsignedImage, const Bytes& blob);

// `text` with every {DIR} replaced by the directory's path: the placeholder
// that test tables use for the directory a case runs in.
std::string expandDir(std::string text, const TempDir& dir);

// The names in a directory, sorted, without "." and "..".
std::vector<std::string> listDirectory(const std::string& path);

// Real listings and images beside the repository; empty when absent.
std::string realdataDir();
std::vector<std::string> realdataFiles(const std::string& subdir);

} // namespace testsupport
