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

mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Whether the output at `place` is a new file renamed over the name: a
// regular file, or none yet, in a shared directory.
bool replacedAt(const Place& place) {
  return place.shared() && !place.kernelLink && (!place.exists || S_ISREG(place.info.st_mode));
}

// A new file next to `place`, with the mode a file created there would get,
// to be renamed over the name. The file found there (if any) passes the
// shared-directory rules first, so that a planted name is refused as it
// would be if it were opened: only then is it known to be ours to replace.
Result<Output> replacementFor(const Place& place) {
  Output output;
  if (place.exists) {
    if (auto allowed = checkShared(place, place.info); !allowed) {
      return tl::make_unexpected(allowed.error());
    }
    output.info = place.info;
  }
  output.replacement = std::make_unique<AtomicFile>(place, OUTPUT_TAG);
  if (auto created = output.replacement->create(); !created) {
    return tl::make_unexpected(created.error());
  }
  if (fchmod(output.replacement->fd(), 0666 & ~currentUmask()) != 0) {
    const int error = errno;
    return failWith("cannot create " + quoted(place.path), error);
  }
  return output;
}

} // namespace

Result<Output> openOutput(const std::string& path, FifoWait wait) {
  for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
    auto place = placeOf(path);
    if (!place) {
      return tl::make_unexpected(place.error());
    }
    if (replacedAt(*place)) {
      return replacementFor(*place);
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
    // waiting for a FIFO's reader before it is known whose FIFO it is. A
    // duplicate of one of our descriptors never waits, and shares that
    // descriptor's flags, which are left as they are.
    const int follow = place->kernelLink ? 0 : O_NOFOLLOW;
    const int nonBlocking = place->duplicate ? 0 : O_NONBLOCK;
    output.fd.reset(openat(dir, name, O_WRONLY | O_CLOEXEC | follow | nonBlocking));
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
    if (nonBlocking != 0) {
      // From here on an ordinary descriptor: writes wait for a slow reader.
      const int flags = fcntl(output.fd.get(), F_GETFL);
      if (flags < 0 || fcntl(output.fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        const int error = errno;
        return failWith("cannot open " + quoted(path), error);
      }
    }
    return output;
  }
  return fail(quoted(path) + " kept changing while it was being opened", EAGAIN);
}

Result<void> truncate(const Output& output, const std::string& path) {
  if (!output.replacement && S_ISREG(output.info.st_mode) && ftruncate(output.fd.get(), 0) != 0) {
    const int error = errno;
    return failWith("cannot truncate " + quoted(path), error);
  }
  return {};
}

Result<void> finish(Output& output) {
  if (output.replacement) {
    if (auto flushed = output.replacement->flush(); !flushed) {
      return flushed;
    }
    return output.replacement->commit();
  }
  if (!output.fd.closeChecked()) {
    return tl::make_unexpected(systemError(errno));
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
  auto wrote = writeAll(output->descriptor(), bytes.data(), bytes.size());
  if (wrote) {
    wrote = finish(*output);
  }
  if (!wrote) {
    return tl::make_unexpected(wrote.error().within("cannot write " + quoted(path)));
  }
  return {};
}

} // namespace fileio
