// Disk images for the tests, built from the reader's own description of the
// layout (profile_trailer.h, code_signature.h) and byte order
// (fileio/byte_order.h).
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "fileio/byte_order.h"
#include "fileio/fd.h"
#include "fileio/io.h"
#include "profile/code_signature.h"
#include "profile/profile_trailer.h"
#include "support/test_support.h"

namespace testsupport {

Bytes pattern(std::size_t size, unsigned seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>((i * 7 + 3 + seed * 29) ^ (i >> 8) ^ (i >> 16) ^ (i >> 24));
  }
  return bytes;
}

Bytes udifTrailer() {
  Bytes trailer(profile_trailer::TRAILER_SIZE, 0);
  std::copy(profile_trailer::TRAILER_SIGNATURE.begin(), profile_trailer::TRAILER_SIGNATURE.end(),
            trailer.begin());
  fileio::writeBigEndian<std::uint32_t>(4, &trailer[4]);   // version
  fileio::writeBigEndian<std::uint32_t>(512, &trailer[8]); // header size
  return trailer;
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

Bytes withSignatureFields(Bytes trailer, std::uint64_t offset, std::uint64_t length) {
  fileio::writeBigEndian(offset, &trailer[code_signature::SIGNATURE_OFFSET_FIELD]);
  fileio::writeBigEndian(length, &trailer[code_signature::SIGNATURE_LENGTH_FIELD]);
  return trailer;
}

Bytes signatureBlob(std::size_t length) {
  Bytes blob = pattern(length);
  std::copy(code_signature::SUPERBLOB_MAGIC.begin(), code_signature::SUPERBLOB_MAGIC.end(), blob.begin());
  fileio::writeBigEndian(static_cast<std::uint32_t>(length), &blob[4]);
  fileio::writeBigEndian<std::uint32_t>(1, &blob[8]); // one blob
  return blob;
}

Bytes signedImage(const Bytes& unsignedImage, const Bytes& blob) {
  const auto trailerAt = unsignedImage.end() - static_cast<std::ptrdiff_t>(profile_trailer::TRAILER_SIZE);
  const Bytes front(unsignedImage.begin(), trailerAt);
  const Bytes trailer(trailerAt, unsignedImage.end());
  return cat({front, blob, withSignatureFields(trailer, front.size(), blob.size())});
}

namespace {

// Cheap bytes that are not all alike (xorshift64), eight at a time.
class PseudoRandom {
public:
  explicit PseudoRandom(std::uint64_t seed) : state_(seed) {}
  void fill(std::uint8_t* out, std::size_t size) {
    for (std::size_t i = 0; i < size; i += 8) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 7;
      state_ ^= state_ << 17;
      std::uint8_t word[8];
      fileio::writeBigEndian(state_, word);
      std::copy(word, word + std::min<std::size_t>(8, size - i), out + i);
    }
  }

private:
  std::uint64_t state_;
};

// Where the image goes: a file written at known offsets (which can skip a
// hole), or a stream written in order.
class ImageOutput {
public:
  explicit ImageOutput(int fd) : fd_(fd) {
    // A file opened for appending takes every write at its end, wherever
    // pwrite says: it is written in order, like a pipe.
    struct stat st {};
    const int flags = fcntl(fd, F_GETFL);
    regular_ = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flags >= 0 && (flags & O_APPEND) == 0;
    if (regular_) {
      const off_t at = lseek(fd, 0, SEEK_CUR);
      offset_ = at < 0 ? 0 : static_cast<std::uint64_t>(at);
    }
  }
  bool regular() const { return regular_; }
  void write(const std::uint8_t* data, std::size_t size) {
    const fileio::Result<void> wrote =
        regular_ ? fileio::writeAllAt(fd_, data, size, offset_) : fileio::writeAll(fd_, data, size);
    if (!wrote) {
      throw std::runtime_error("cannot write the image: " + wrote.error().message);
    }
    offset_ += size;
  }
  void write(const Bytes& bytes) { write(bytes.data(), bytes.size()); }
  void skip(std::uint64_t size) { offset_ += size; }
  void finish() {
    if (regular_ && (ftruncate(fd_, static_cast<off_t>(offset_)) != 0 || fsync(fd_) != 0)) {
      throw std::runtime_error(std::string("cannot finish the image: ") + std::strerror(errno));
    }
  }

private:
  int fd_;
  bool regular_ = false;
  std::uint64_t offset_ = 0;
};

// `size` bytes, made by `make` in pieces of 1 MiB, so that a large run is
// never held whole.
template <typename Make> void writePieces(ImageOutput& out, std::uint64_t size, Make make) {
  Bytes piece(std::min<std::uint64_t>(size, std::uint64_t{1} << 20));
  for (std::uint64_t left = size; left > 0;) {
    const auto now = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
    make(piece.data(), now);
    out.write(piece.data(), now);
    left -= now;
  }
}

} // namespace

std::uint64_t ImageLayout::size() const {
  std::uint64_t total = dataBytes + signatureBytes + profile_trailer::TRAILER_SIZE;
  if (profile || randomProfile) {
    total += (profile ? profile->size() : 0) + randomProfile.value_or(0) + profile_trailer::DESCRIPTOR_SIZE;
  }
  return total;
}

void writeImage(int fd, const ImageLayout& layout) {
  ImageOutput out(fd);
  switch (layout.fill) {
  case Fill::zero:
    writePieces(out, layout.dataBytes,
                [](std::uint8_t* piece, std::size_t size) { std::fill_n(piece, size, 0); });
    break;
  case Fill::random: {
    PseudoRandom random(0x9e3779b97f4a7c15u);
    writePieces(out, layout.dataBytes,
                [&](std::uint8_t* piece, std::size_t size) { random.fill(piece, size); });
    break;
  }
  case Fill::hole:
    if (!out.regular() && layout.dataBytes > 0) {
      throw std::invalid_argument("a hole needs a regular file to write the image to");
    }
    out.skip(layout.dataBytes);
    break;
  }
  std::uint64_t front = layout.dataBytes;
  if (layout.profile || layout.randomProfile) {
    const std::uint64_t length =
        (layout.profile ? layout.profile->size() : 0) + layout.randomProfile.value_or(0);
    if (length > UINT32_MAX) {
      throw std::invalid_argument("a profile of more than 4294967295 bytes");
    }
    if (layout.profile) {
      out.write(*layout.profile);
    }
    PseudoRandom random(0xd1b54a32d192ed03u);
    writePieces(out, layout.randomProfile.value_or(0),
                [&](std::uint8_t* piece, std::size_t size) { random.fill(piece, size); });
    out.write(descriptor(static_cast<std::size_t>(length)));
    front += length + profile_trailer::DESCRIPTOR_SIZE;
  }
  if (layout.signatureBytes > 0) {
    if (layout.signatureBytes < code_signature::SUPERBLOB_HEADER_SIZE) {
      throw std::invalid_argument("a code signature of fewer than 12 bytes");
    }
    out.write(signatureBlob(layout.signatureBytes));
    out.write(withSignatureFields(udifTrailer(), front, layout.signatureBytes));
  } else {
    out.write(udifTrailer());
  }
  out.finish();
}

void writeImage(const std::string& path, const ImageLayout& layout) {
  const fileio::Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.valid()) {
    throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
  }
  writeImage(fd.get(), layout);
}

} // namespace testsupport
