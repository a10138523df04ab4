// What the test programs, the fuzz checks, the benchmarks and brackwell-fixture
// share, none of which needs GoogleTest (library brackwell_test_support):
// files and temporary directories, the placeholders of test tables, standard
// output taken over, disk images built piece by piece, the real data beside
// the repository, and loop devices. The GoogleTest half (child runs, scenes,
// the real-data fixture) is brackwell_test_support_gtest.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

Bytes toBytes(const std::string& text);

// --- Files and directories (test_support.cpp) ---------------------------------

// A fresh directory under the system's temporary directory, named
// <prefix>-XXXXXX, removed with its contents when the object goes away.
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

void writeFile(const std::string& path, const Bytes& bytes);
void writeFile(const std::string& path, const std::string& text);
Bytes readFile(const std::string& path);

// The names in a directory, sorted, without "." and "..".
std::vector<std::string> listDirectory(const std::string& path);

// Whether anything is at `path`, a dangling symbolic link included.
bool exists(const std::string& path);

// Sets the extended attribute `name` of `path`; false (errno set) when the
// file system refuses it.
bool setExtendedAttribute(const std::string& path, const std::string& name, const std::string& value);

// Every extended attribute of `path` that it lets us read, with its value.
std::map<std::string, std::string> extendedAttributes(const std::string& path);

// --- Placeholders in test tables (test_support.cpp) -------------------------

// Every `from` in `text` replaced by `to`.
void replaceAll(std::string& text, const std::string& from, const std::string& to);

// `text` with every {DIR} replaced by the directory's path: the placeholder
// that test tables use for the directory a case runs in.
std::string expandDir(std::string text, const TempDir& dir);

// --- Standard output (test_support.cpp) ---------------------------------------

// Points std::cout at `buffer` for as long as the object lives.
class CoutRedirect {
public:
  explicit CoutRedirect(std::streambuf* buffer);
  ~CoutRedirect();
  CoutRedirect(const CoutRedirect&) = delete;
  CoutRedirect& operator=(const CoutRedirect&) = delete;

private:
  std::streambuf* saved_;
};

// Redirects std::cout into a string for as long as the object lives.
class CoutCapture {
public:
  std::string text() const { return buffer_.str(); }

private:
  std::ostringstream buffer_;
  CoutRedirect redirect_{buffer_.rdbuf()};
};

// Accepts and drops everything. Whole blocks go through xsputn, so a long
// line costs one virtual call rather than one per character: what the
// benchmarks point the reader's report at, so that a terminal's speed is not
// measured with it.
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

// Points std::cout at a NullBuffer for as long as the object lives.
class SilencedCout {
  NullBuffer buffer_;
  CoutRedirect redirect_{&buffer_};
};

// --- Disk images (images.cpp) ------------------------------------------------

// The profile the tests stamp and read back: the 33 characters of its text,
// without the zero byte that ends the literal. Binary on purpose: the zero
// byte and 0xff inside must come through unchanged.
inline const Bytes PROFILE = toBytes(std::string("customer=Acme Corp\nseat-key=\x01\x02\x00\xff\n", 33));

// `size` bytes that are not all alike: a profile, or filler, whose every byte
// has to land in its place. Byte i is i * 7 + 3 + seed * 29, mixed with the
// higher bytes of i, so that the same bytes do not recur at any distance a
// copy could slip by (256 bytes, a 64 KiB pipe, a 1 MiB buffer); another
// seed gives other bytes.
Bytes pattern(std::size_t size, unsigned seed = 0);

// A 512-byte UDIF trailer: "koly", version 4, header size 512, the rest zero.
Bytes udifTrailer();

// The parts, one after the other.
Bytes cat(std::initializer_list<Bytes> parts);
// The 16 descriptor bytes for a profile of `length` bytes.
Bytes descriptor(std::size_t length);
// `data`, then `profile` and its descriptor, then `tail` (a trailer): the end
// of a disk image that carries `profile`.
Bytes stamped(const Bytes& data, const Bytes& profile, const Bytes& tail = udifTrailer());
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

// What the image data in front of everything else is made of.
enum class Fill {
  zero,   // zero bytes, written out
  random, // pseudo-random bytes, written out: the same sequence in every image, so
          // two images' data agree as far as the shorter one goes
  hole    // a hole: a 64 GiB image takes only its end on disk (a regular file only)
};

// An image too large to build in memory, written piece by piece: the data,
// then (when stamped) the profile and its descriptor, then (when signed) a
// code signature, then the trailer, which records the signature.
struct ImageLayout {
  std::uint64_t dataBytes = 0;
  Fill fill = Fill::zero;
  std::optional<Bytes> profile;               // stamped with these bytes ...
  std::optional<std::uint32_t> randomProfile; // ... or with this many pseudo-random bytes
  std::size_t signatureBytes = 0;             // a signatureBlob() of this length; 0: unsigned
  std::uint64_t size() const;                 // of the whole image
};

// Writes the image `layout` describes to `path` (created or truncated), or
// to the open descriptor `fd` from its current position; a regular file is
// synced, so that its pages can be dropped from the page cache. Throws
// std::runtime_error when that fails, std::invalid_argument for a hole
// where there can be none.
void writeImage(const std::string& path, const ImageLayout& layout);
void writeImage(int fd, const ImageLayout& layout);

// --- Real data beside the repository (test_support.cpp) ----------------------

// Real listings and images beside the repository; empty when absent.
std::string realdataDir();
std::vector<std::string> realdataFiles(const std::string& subdir);

// --- Loop devices (loop_devices.cpp) -----------------------------------------

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
  LoopMount(const std::string& mkfs, const std::string& image, std::uint64_t size,
            const std::string& mountPoint);
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
