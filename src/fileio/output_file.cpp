#include "fileio/output_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "fileio/io.h"
#include "fileio/place.h"

namespace fileio {

namespace {

// Opens found at a name that changed between looking and opening (created,
// removed or replaced by someone else meanwhile) before giving up.
constexpr int OPEN_ATTEMPTS = 16;

} // namespace

Result<Output> openOutput(const std::string& path, FifoWait wait) {
  for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
    auto place = placeOf(path);
    if (!place) {
      return tl::make_unexpected(place.error());
    }
    const int dir = place->dir.get();
    const char* name = place->name.c_str();
    Output output;
    if (!place->exists) {
      // Created here and now, never through a name someone put there since.
      output.fd.reset(openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
      if (!output.fd.valid()) {
        if (errno == EEXIST) {
          continue;
        }
        const int error = errno;
        return failWith("cannot create " + quoted(path), error);
      }
      if (fstat(output.fd.get(), &output.info) != 0) {
        const int error = errno;
        return failWith("cannot examine " + quoted(path), error);
      }
      return output;
    }

    // Opened without following a link that appeared since, and without
    // waiting for a FIFO's reader before it is known whose FIFO it is.
    const int follow = place->kernelLink ? 0 : O_NOFOLLOW;
    output.fd.reset(openat(dir, name, O_WRONLY | O_NONBLOCK | O_CLOEXEC | follow));
    if (!output.fd.valid()) {
      const int error = errno;
      if (error == ELOOP || error == ENOENT) {
        continue; // replaced by a link, or removed, since it was found
      }
      if (error != ENXIO || !S_ISFIFO(place->info.st_mode)) {
        return failWith("cannot open " + quoted(path), error);
      }
      // A FIFO without a reader. Whose it is can only be told from what
      // was found; a FIFO that passes belongs to us or to the directory's
      // owner, so no one else can have put another in its place.
      if (auto allowed = checkShared(*place, place->info); !allowed) {
        return tl::make_unexpected(allowed.error());
      }
      if (wait == FifoWait::never) {
        return fail(quoted(path) + " is a FIFO that nobody reads", ENXIO);
      }
      output.fd.reset(openat(dir, name, O_WRONLY | O_CLOEXEC | follow));
      if (!output.fd.valid()) {
        const int blocked = errno;
        return failWith("cannot open " + quoted(path), blocked);
      }
    }
    if (fstat(output.fd.get(), &output.info) != 0) {
      const int error = errno;
      return failWith("cannot examine " + quoted(path), error);
    }
    if (!place->kernelLink &&
        (output.info.st_dev != place->info.st_dev || output.info.st_ino != place->info.st_ino)) {
      continue; // another file took the name meanwhile: look again
    }
    if (auto allowed = checkShared(*place, output.info); !allowed) {
      return tl::make_unexpected(allowed.error());
    }
    // From here on an ordinary descriptor: writes wait for a slow reader.
    const int flags = fcntl(output.fd.get(), F_GETFL);
    if (flags < 0 || fcntl(output.fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
      const int error = errno;
      return failWith("cannot open " + quoted(path), error);
    }
    return output;
  }
  return fail(quoted(path) + " kept changing while it was being opened", EAGAIN);
}

Result<void> truncate(const Output& output, const std::string& path) {
  if (S_ISREG(output.info.st_mode) && ftruncate(output.fd.get(), 0) != 0) {
    const int error = errno;
    return failWith("cannot truncate " + quoted(path), error);
  }
  return {};
}

Result<void> writeOutputFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  auto output = openOutput(path, FifoWait::forReader);
  if (!output) {
    return tl::make_unexpected(output.error());
  }
  if (auto cut = truncate(*output, path); !cut) {
    return cut;
  }
  if (auto wrote = writeAll(output->fd.get(), bytes.data(), bytes.size()); !wrote) {
    return tl::make_unexpected(wrote.error().within("cannot write " + quoted(path)));
  }
  if (!output->fd.closeChecked()) {
    const int error = errno;
    return failWith("cannot write " + quoted(path), error);
  }
  return {};
}

} // namespace fileio
