// macho_check IDENTITY MINOS BINARY
//
// Checks a universal macOS executable the way a Mac will meet it, on any
// machine (the cross-build runs it on Linux, where there is no otool, lipo
// -info or codesign):
//
//   - it is a universal ("fat") file holding exactly an x86_64 and an arm64
//     executable;
//   - each slice's LC_BUILD_VERSION says macOS with minimum system MINOS
//     (e.g. 11.0);
//   - each slice loads /usr/lib/libSystem.B.dylib and nothing else but the
//     system's libc++ (/usr/lib/libc++.1.dylib);
//   - each slice carries the bytes IDENTITY (e.g. "@(#)brackwell 1.0.0");
//   - the arm64 slice carries a code signature whose CodeDirectory hashes
//     match the slice's bytes page by page (and any other slice that carries
//     one is checked the same way). An arm64 Mac kills an executable whose
//     pages do not match their hashes, so this decides whether it starts.
//
// The layouts are those of <mach-o/fat.h>, <mach-o/loader.h> and the code
// signature's blobs (cs_blobs.h): fat headers and blobs are big-endian, the
// Mach-O headers of both architectures little-endian. Prints what it found;
// exits 1 with a line per failed check, 2 when the arguments are wrong.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <openssl/evp.h>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fileio/byte_order.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// SHA-256, the hash of the CodeDirectories a linker writes for arm64 (hash
// type 2), from OpenSSL's libcrypto.
std::array<std::uint8_t, 32> sha256(const std::uint8_t* data, std::size_t size) {
  std::array<std::uint8_t, 32> digest{};
  unsigned int length = 0;
  if (EVP_Digest(data, size, digest.data(), &length, EVP_sha256(), nullptr) != 1 || length != digest.size()) {
    digest.fill(0); // matches no page hash: the check then fails, naming the page
  }
  return digest;
}

constexpr std::uint32_t FAT_MAGIC = 0xcafebabe;
constexpr std::uint32_t MH_MAGIC_64 = 0xfeedfacf;
constexpr std::uint32_t MH_EXECUTE = 2;
constexpr std::uint32_t CPU_TYPE_X86_64 = 0x01000007;
constexpr std::uint32_t CPU_TYPE_ARM64 = 0x0100000c;
constexpr std::uint32_t LC_REQ_DYLD = 0x80000000;
constexpr std::uint32_t LC_LOAD_DYLIB = 0xc;
constexpr std::uint32_t LC_LOAD_WEAK_DYLIB = 0x18 | LC_REQ_DYLD;
constexpr std::uint32_t LC_REEXPORT_DYLIB = 0x1f | LC_REQ_DYLD;
constexpr std::uint32_t LC_LAZY_LOAD_DYLIB = 0x20;
constexpr std::uint32_t LC_LOAD_UPWARD_DYLIB = 0x23 | LC_REQ_DYLD;
constexpr std::uint32_t LC_CODE_SIGNATURE = 0x1d;
constexpr std::uint32_t LC_VERSION_MIN_MACOSX = 0x24;
constexpr std::uint32_t LC_BUILD_VERSION = 0x32;
constexpr std::uint32_t PLATFORM_MACOS = 1;
constexpr std::uint32_t CSMAGIC_EMBEDDED_SIGNATURE = 0xfade0cc0;
constexpr std::uint32_t CSMAGIC_CODEDIRECTORY = 0xfade0c02;
constexpr std::uint32_t CSSLOT_CODEDIRECTORY = 0;
constexpr std::uint8_t CS_HASHTYPE_SHA256 = 2;
constexpr std::uint32_t CS_SUPPORTSCODELIMIT64 = 0x20300;

const char* const ALLOWED_DYLIBS[] = {"/usr/lib/libSystem.B.dylib", "/usr/lib/libc++.1.dylib"};

// Reads within a byte range, saying so when a field lies outside it: every
// offset in the file is the file's word, not ours.
class View {
public:
  View(const Bytes& bytes, std::uint64_t offset, std::uint64_t size)
      : bytes_(bytes), offset_(offset), size_(size) {}
  bool has(std::uint64_t at, std::uint64_t count) const { return at <= size_ && count <= size_ - at; }
  std::optional<std::uint32_t> be32(std::uint64_t at) const { return word(at, true); }
  std::optional<std::uint32_t> le32(std::uint64_t at) const { return word(at, false); }
  const std::uint8_t* data(std::uint64_t at) const { return bytes_.data() + offset_ + at; }
  std::uint64_t size() const { return size_; }

private:
  std::optional<std::uint32_t> word(std::uint64_t at, bool bigEndian) const {
    if (!has(at, 4)) {
      return std::nullopt;
    }
    return bigEndian ? fileio::readBigEndian<std::uint32_t>(data(at))
                     : fileio::readLittleEndian<std::uint32_t>(data(at));
  }
  const Bytes& bytes_;
  std::uint64_t offset_;
  std::uint64_t size_;
};

std::string version(std::uint32_t v) { // xxxx.yy.zz in nibbles
  std::string text = std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff);
  return (v & 0xff) != 0 ? text + "." + std::to_string(v & 0xff) : text;
}

std::optional<std::uint32_t> parseVersion(const std::string& text) {
  unsigned major = 0;
  unsigned minor = 0;
  char dot = 0;
  std::istringstream in(text);
  if (!(in >> major >> dot >> minor) || dot != '.' || major > 0xffff || minor > 0xff) {
    return std::nullopt;
  }
  return major << 16 | minor << 8;
}

class Checker {
public:
  Checker(std::string identity, std::uint32_t minos) : identity_(std::move(identity)), minos_(minos) {}

  void fail(const std::string& where, const std::string& what) {
    std::cout << "FAILED: " << where << ": " << what << "\n";
    failed_ = true;
  }
  void note(const std::string& where, const std::string& what) { std::cout << where << ": " << what << "\n"; }
  bool failed() const { return failed_; }

  void universal(const Bytes& file) {
    const View whole(file, 0, file.size());
    const auto magic = whole.be32(0);
    const auto count = whole.be32(4);
    if (!magic || *magic != FAT_MAGIC || !count) {
      fail("file", "not a universal binary (no fat header, magic cafebabe)");
      return;
    }
    std::map<std::string, int> seen;
    for (std::uint32_t i = 0; i < *count; ++i) {
      const std::uint64_t entry = 8 + std::uint64_t{i} * 20;
      const auto cpu = whole.be32(entry);
      const auto offset = whole.be32(entry + 8);
      const auto size = whole.be32(entry + 12);
      if (!cpu || !offset || !size || !whole.has(*offset, *size)) {
        fail("file", "fat entry " + std::to_string(i) + " lies outside the file");
        continue;
      }
      const std::string arch = *cpu == CPU_TYPE_ARM64    ? "arm64"
                               : *cpu == CPU_TYPE_X86_64 ? "x86_64"
                                                         : "cputype " + std::to_string(*cpu);
      ++seen[arch];
      slice(arch, View(file, *offset, *size));
    }
    std::string archs;
    for (const auto& [arch, n] : seen) {
      archs += (archs.empty() ? "" : ", ") + arch + (n > 1 ? " x" + std::to_string(n) : "");
    }
    note("file", "universal binary with " + archs);
    if (seen != std::map<std::string, int>{{"arm64", 1}, {"x86_64", 1}}) {
      fail("file", "holds " + archs + "; expected exactly one arm64 and one x86_64 executable");
    }
  }

private:
  void slice(const std::string& arch, const View& s) {
    const auto magic = s.le32(0);
    const auto filetype = s.le32(12);
    const auto ncmds = s.le32(16);
    if (!magic || *magic != MH_MAGIC_64 || !filetype || !ncmds) {
      fail(arch, "not a 64-bit Mach-O file");
      return;
    }
    if (*filetype != MH_EXECUTE) {
      fail(arch, "file type " + std::to_string(*filetype) + ", not an executable (MH_EXECUTE)");
    }
    bool buildVersion = false;
    bool libSystem = false;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> signature;
    std::uint64_t at = 32; // after mach_header_64
    for (std::uint32_t i = 0; i < *ncmds; ++i) {
      const auto cmd = s.le32(at);
      const auto cmdsize = s.le32(at + 4);
      if (!cmd || !cmdsize || *cmdsize < 8 || !s.has(at, *cmdsize)) {
        fail(arch, "load command " + std::to_string(i) + " runs past the slice");
        return;
      }
      switch (*cmd) {
      case LC_BUILD_VERSION: {
        buildVersion = true;
        const std::uint32_t platform = s.le32(at + 8).value_or(0);
        const std::uint32_t minos = s.le32(at + 12).value_or(0);
        note(arch, "LC_BUILD_VERSION platform " + std::to_string(platform) + ", minos " + version(minos));
        if (platform != PLATFORM_MACOS) {
          fail(arch, "LC_BUILD_VERSION platform " + std::to_string(platform) + ", not macOS (1)");
        }
        if (minos != minos_) {
          fail(arch, "minos " + version(minos) + ", expected " + version(minos_));
        }
        break;
      }
      case LC_VERSION_MIN_MACOSX:
        fail(arch, "LC_VERSION_MIN_MACOSX instead of LC_BUILD_VERSION");
        break;
      case LC_LOAD_DYLIB:
      case LC_LOAD_WEAK_DYLIB:
      case LC_REEXPORT_DYLIB:
      case LC_LAZY_LOAD_DYLIB:
      case LC_LOAD_UPWARD_DYLIB: {
        const std::uint32_t nameAt = s.le32(at + 8).value_or(*cmdsize);
        std::string name;
        for (std::uint64_t c = nameAt; c < *cmdsize && *s.data(at + c) != 0; ++c) {
          name += static_cast<char>(*s.data(at + c));
        }
        note(arch, "loads " + name);
        libSystem = libSystem || name == ALLOWED_DYLIBS[0];
        if (std::find(std::begin(ALLOWED_DYLIBS), std::end(ALLOWED_DYLIBS), name) ==
            std::end(ALLOWED_DYLIBS)) {
          fail(arch, "loads " + name + ", which is neither libSystem nor the system's libc++");
        }
        break;
      }
      case LC_CODE_SIGNATURE:
        signature = std::make_pair(s.le32(at + 8).value_or(0), s.le32(at + 12).value_or(0));
        break;
      default:
        break;
      }
      at += *cmdsize;
    }
    if (!buildVersion) {
      fail(arch, "no LC_BUILD_VERSION");
    }
    if (!libSystem) {
      fail(arch, "does not load /usr/lib/libSystem.B.dylib");
    }
    const std::uint8_t* begin = s.data(0);
    const std::uint8_t* end = begin + s.size();
    if (std::search(begin, end, identity_.begin(), identity_.end()) == end) {
      fail(arch, "no '" + identity_ + "' in the slice");
    } else {
      note(arch, "carries '" + identity_ + "'");
    }
    if (signature) {
      codeSignature(arch, s, signature->first, signature->second);
    } else if (arch == "arm64") {
      fail(arch, "no code signature (LC_CODE_SIGNATURE): an arm64 Mac will not start it");
    }
  }

  // The embedded signature: a SuperBlob whose index names the CodeDirectory;
  // its code slots hold the hash of each page of the slice up to the code
  // limit, which is where the signature itself begins.
  void codeSignature(const std::string& arch, const View& s, std::uint32_t dataoff, std::uint32_t datasize) {
    if (!s.has(dataoff, datasize) || s.be32(dataoff) != CSMAGIC_EMBEDDED_SIGNATURE) {
      fail(arch, "LC_CODE_SIGNATURE does not point at a SuperBlob (fa de 0c c0) inside the slice");
      return;
    }
    const Bytes signatureBytes(s.data(dataoff), s.data(dataoff) + datasize);
    const View blob(signatureBytes, 0, datasize);
    const std::uint32_t count = blob.be32(8).value_or(0);
    std::optional<std::uint32_t> directory;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (blob.be32(12 + std::uint64_t{i} * 8) == CSSLOT_CODEDIRECTORY) {
        directory = blob.be32(16 + std::uint64_t{i} * 8);
      }
    }
    if (!directory || blob.be32(*directory) != CSMAGIC_CODEDIRECTORY || !blob.has(*directory, 44)) {
      fail(arch, "the SuperBlob has no CodeDirectory (fa de 0c 02)");
      return;
    }
    const std::uint64_t cd = *directory;
    const std::uint32_t cdVersion = *blob.be32(cd + 8);
    const std::uint32_t hashOffset = *blob.be32(cd + 16);
    const std::uint32_t nCodeSlots = *blob.be32(cd + 28);
    std::uint64_t codeLimit = *blob.be32(cd + 32);
    const std::uint8_t hashSize = *blob.data(cd + 36);
    const std::uint8_t hashType = *blob.data(cd + 37);
    const std::uint8_t pageShift = *blob.data(cd + 39);
    if (codeLimit == 0 && cdVersion >= CS_SUPPORTSCODELIMIT64 && blob.has(cd + 56, 8)) {
      codeLimit = std::uint64_t{*blob.be32(cd + 56)} << 32 | *blob.be32(cd + 60);
    }
    if (hashType != CS_HASHTYPE_SHA256 || hashSize != 32) {
      fail(arch, "CodeDirectory hash type " + std::to_string(hashType) + " (size " +
                     std::to_string(hashSize) + "); this check knows SHA-256 (type 2) only");
      return;
    }
    if (codeLimit != dataoff) {
      fail(arch, "the code limit " + std::to_string(codeLimit) + " is not where the signature begins (" +
                     std::to_string(dataoff) + "): bytes in front of it go unhashed");
      return;
    }
    const std::uint64_t page = pageShift == 0 ? codeLimit : std::uint64_t{1} << pageShift;
    const std::uint64_t pages = page == 0 ? 0 : (codeLimit + page - 1) / page;
    if (pages != nCodeSlots || !blob.has(cd + hashOffset, std::uint64_t{nCodeSlots} * hashSize)) {
      fail(arch, std::to_string(nCodeSlots) + " code slots for " + std::to_string(pages) + " pages of " +
                     std::to_string(page) + " bytes");
      return;
    }
    std::uint32_t mismatched = 0;
    for (std::uint64_t i = 0; i < pages; ++i) {
      const std::uint64_t from = i * page;
      const std::uint64_t size = std::min(page, codeLimit - from);
      const auto digest = sha256(s.data(from), static_cast<std::size_t>(size));
      if (!std::equal(digest.begin(), digest.end(), blob.data(cd + hashOffset + i * hashSize))) {
        if (mismatched++ == 0) {
          fail(arch, "page " + std::to_string(i) + " (bytes " + std::to_string(from) + " to " +
                         std::to_string(from + size) + ") does not match its hash in the CodeDirectory");
        }
      }
    }
    if (mismatched > 0) {
      fail(arch,
           std::to_string(mismatched) + " of " + std::to_string(pages) + " pages do not match their hashes");
    } else {
      note(arch, "code signature valid: " + std::to_string(pages) + " pages of " + std::to_string(page) +
                     " bytes match their SHA-256 hashes up to the signature at " + std::to_string(dataoff));
    }
  }

  std::string identity_;
  std::uint32_t minos_;
  bool failed_ = false;
};

} // namespace

int main(int argc, char* argv[]) {
  const std::optional<std::uint32_t> minos = argc == 4 ? parseVersion(argv[2]) : std::nullopt;
  if (!minos) {
    std::cerr << "usage: macho_check IDENTITY MINOS BINARY (e.g. '@(#)brackwell 1.0.0' 11.0 brackwell)\n";
    return 2;
  }
  std::ifstream in(argv[3], std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) {
    std::cout << "FAILED: cannot read " << argv[3] << "\n";
    return 1;
  }
  std::cout << argv[3] << ":\n";
  Checker checker(argv[1], *minos);
  checker.universal(file);
  std::cout << (checker.failed() ? "FAILED\n" : "all checks passed\n");
  return checker.failed() ? 1 : 0;
}
