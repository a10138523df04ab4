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

// A file attached to a loop device, read-only: a real block device holding
// bytes the test chose. Needs root and losetup; where it cannot be had,
// device() is empty and why() says why.
class LoopDevice {
public:
  explicit LoopDevice(const std::string& file);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& device() const { return device_; }
  const std::string& why() const { return why_; }

private:
  std::string device_;
  std::string why_;
};

// A new file system in `image`, a file of `size` bytes (made by the shell
// command `mkfs`, which takes the image file as its last argument), mounted
// through a loop device at the directory `mountPoint` until the object goes
// away. Needs root; where it cannot be had, mounted() is false and why()
// says why.
class LoopMount {
public:
  LoopMount(const std::string& mkfs, const std::string& image, std::uint64_t size, const std::string& mountPoint);
  ~LoopMount();
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }

private:
  std::string mountPoint_;
  bool mounted_ = false;
  std::string why_;
};

} // namespace testsupport
