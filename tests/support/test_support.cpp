#include "support/test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "profile/profile_trailer.h"

namespace testsupport {

Bytes toBytes(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

TempDir::TempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  }
  path_ = buffer.data();
}

TempDir::~TempDir() {
  // A test may have made directories read-only, or the run under test may
  // have left files it could not clean up: make each directory ours again,
  // then remove the lot. Never through a symbolic link.
  std::error_code error;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                               error);
  for (auto entry = std::filesystem::recursive_directory_iterator(path_, error);
       !error && entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
    if (entry->is_directory(error) && !entry->is_symlink(error)) {
      std::filesystem::permissions(entry->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, error);
    }
  }
  std::filesystem::remove_all(path_, error);
}

CoutCapture::CoutCapture() : saved_(std::cout.rdbuf(buffer_.rdbuf())) {}

CoutCapture::~CoutCapture() {
  std::cout.rdbuf(saved_);
}

void writeFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out.flush()) {
    throw std::runtime_error("cannot write " + path);
  }
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot read " + path);
  }
  // Block reads: byte-wise iterators take seconds for a few megabytes in a
  // sanitized Debug build.
  Bytes bytes;
  std::vector<char> buffer(1 << 16);
  while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0) {
    bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + in.gcount());
  }
  return bytes;
}

Bytes udifTrailer() {
  Bytes trailer(profile_trailer::TRAILER_SIZE, 0);
  std::copy(profile_trailer::TRAILER_SIGNATURE.begin(), profile_trailer::TRAILER_SIGNATURE.end(),
            trailer.begin());
  trailer[7] = 4;  // version
  trailer[10] = 2; // header size 512, big-endian
  return trailer;
}

Bytes imageWithProfile(const Bytes& data, const Bytes& profile) {
  Bytes image = data;
  image.insert(image.end(), profile.begin(), profile.end());
  const auto descriptor = profile_trailer::encodeDescriptor(static_cast<std::uint32_t>(profile.size()));
  image.insert(image.end(), descriptor.begin(), descriptor.end());
  const Bytes trailer = udifTrailer();
  image.insert(image.end(), trailer.begin(), trailer.end());
  return image;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

Bytes descriptor(std::size_t length) {
  const auto bytes = profile_trailer::encodeDescriptor(static_cast<std::uint32_t>(length));
  return Bytes(bytes.begin(), bytes.end());
}

Bytes stamped(const Bytes& data, const Bytes& profile, const Bytes& tail) {
  return cat({data, profile, descriptor(profile.size()), tail});
}

namespace {

void putBigEndian(Bytes& bytes, std::size_t at, std::uint64_t value, int size) {
  for (int i = size - 1; i >= 0; --i, value >>= 8) {
    bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value);
  }
}

} // namespace

Bytes withSignatureFields(Bytes trailer, std::uint64_t offset, std::uint64_t length) {
  putBigEndian(trailer, 296, offset, 8);
  putBigEndian(trailer, 304, length, 8);
  return trailer;
}

Bytes signatureBlob(std::size_t length) {
  Bytes blob(length);
  for (std::size_t i = 0; i < length; ++i) {
    blob[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  const Bytes magic = {0xfa, 0xde, 0x0c, 0xc0};
  std::copy(magic.begin(), magic.end(), blob.begin());
  putBigEndian(blob, 4, length, 4);
  putBigEndian(blob, 8, 1, 4);
  return blob;
}

Bytes signedImage(const Bytes& unsignedImage, const Bytes& blob) {
  const Bytes front(unsignedImage.begin(), unsignedImage.end() - 512);
  const Bytes trailer(unsignedImage.end() - 512, unsignedImage.end());
  return cat({front, blob, withSignatureFields(trailer, front.size(), blob.size())});
}

std::string expandDir(std::string text, const TempDir& dir) {
  const std::string placeholder = "{DIR}";
  for (std::size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, at + dir.path().size())) {
    text.replace(at, placeholder.size(), dir.path());
  }
  return text;
}

std::vector<std::string> listDirectory(const std::string& path) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string realdataDir() {
  std::error_code error;
  const std::string dir = BRACKWELL_REALDATA_DIR;
  return !dir.empty() && std::filesystem::is_directory(dir, error) ? dir : std::string();
}

std::vector<std::string> realdataFiles(const std::string& subdir) {
  std::vector<std::string> files;
  const std::string base = realdataDir();
  if (base.empty()) {
    return files;
  }
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(base + "/" + subdir, error)) {
    files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

namespace {

// A path as one word for sh: single-quoted, its own single quotes escaped.
std::string shellWord(const std::string& text) {
  std::string word = "'";
  for (const char c : text) {
    word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return word + "'";
}

// Runs `command` through sh, with its standard error going along with its
// standard output into `output`; true when it exits 0.
bool shell(const std::string& command, std::string& output) {
  output.clear();
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) {
    output = std::strerror(errno);
    return false;
  }
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
    output += buffer;
  }
  return pclose(pipe) == 0;
}

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

} // namespace

LoopDevice::LoopDevice(const std::string& file) {
  if (geteuid() != 0) {
    why_ = "attaching a loop device needs root";
    return;
  }
  std::string output;
  if (!shell("losetup --find --show --read-only " + shellWord(file), output)) {
    why_ = "losetup failed: " + trimmed(output);
    return;
  }
  device_ = trimmed(output);
}

LoopDevice::~LoopDevice() {
  std::string output;
  if (!device_.empty()) {
    shell("losetup --detach " + shellWord(device_), output);
  }
}

LoopMount::LoopMount(const std::string& mkfs, const std::string& image, std::uint64_t size,
                     const std::string& mountPoint)
    : mountPoint_(mountPoint) {
  if (geteuid() != 0) {
    why_ = "mounting a file system needs root";
    return;
  }
  std::error_code error;
  writeFile(image, Bytes{});
  std::filesystem::resize_file(image, size, error);
  if (error) {
    why_ = "cannot make " + image + " " + std::to_string(size) + " bytes long: " + error.message();
    return;
  }
  std::string output;
  if (!shell(mkfs + " " + shellWord(image), output)) {
    why_ = "'" + mkfs + "' failed: " + trimmed(output);
    return;
  }
  // The loop device goes with the unmount.
  if (!shell("mount -o loop " + shellWord(image) + " " + shellWord(mountPoint), output)) {
    why_ = "mount failed: " + trimmed(output);
    return;
  }
  mounted_ = true;
}

LoopMount::~LoopMount() {
  std::string output;
  if (mounted_) {
    shell("umount " + shellWord(mountPoint_), output);
  }
}

} // namespace testsupport
