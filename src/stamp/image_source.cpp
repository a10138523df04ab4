#include "stamp/image_source.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "fileio/io.h"
#include "stamp/refuse.h"

namespace stamp {

namespace {

using fileio::quoted;

// Records the version of the image that the change checks compare with,
// once the file system's clock has moved past its modification time: a
// rewrite at the same size within the same tick (2 s on FAT) would otherwise
// leave size and time as they were, and go unseen.
Result<void> recordVersion(Source& source) {
  auto settled = fileio::settledStatus(source.fd.get());
  if (!settled) {
    return refuse(Failure::image_unreadable,
                  settled.error().within("cannot examine image " + quoted(source.path)));
  }
  source.before = *settled;
  return {};
}

// Waits for the exclusive lock on the image, up to `options.waitSeconds`.
// Fails when another process held it all that time; a file system without
// locks lets the run go on (the checks before the rename still catch a
// change made meanwhile).
Result<void> lockImage(const Source& source, const Options& options) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(options.waitSeconds);
  bool told = false;
  for (;;) {
    const int code = flock(source.fd.get(), LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    if (code == 0 || (code != EINTR && code != EWOULDBLOCK)) {
      return {};
    }
    if (code == EINTR) {
      continue;
    }
    if (Clock::now() >= deadline) {
      return refuse(Failure::image_locked, "another process has held a lock on " + quoted(source.path) +
                                               " for " + std::to_string(options.waitSeconds) +
                                               " s; giving up (--wait sets how long to wait)");
    }
    if (!told) {
      tell(options, "waiting for another run that is changing " + quoted(source.path));
      told = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

} // namespace

// Opens the image. A run that only reads it opens it as any reader would. A
// run that replaces it in place finds its name under the shared-directory
// rules (an image reached through a link another account planted is
// refused), and holds an exclusive lock on it until its new image is renamed
// into place, so two such runs on one image take turns instead of one of
// them losing its change; a run that waited works on the image the other one
// left.
Result<Source> openImage(const std::string& path, const Options& options) {
  Source source;
  source.path = path;
  const auto cannotOpen = [&path](int code) {
    return refuse(Failure::image_unreadable, fileio::systemError("cannot open image " + quoted(path), code));
  };
  const auto notRegular = [&path, &source] {
    return refuse(Failure::not_a_regular_file,
                  quoted(path) + (S_ISCHR(source.before.st_mode)
                                      ? " is a character device, not a regular file"
                                      : " is not a regular file"));
  };
  if (!inPlace(options)) {
    source.fd.reset(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!source.fd.valid() || fstat(source.fd.get(), &source.before) != 0) {
      return cannotOpen(errno);
    }
    if (!S_ISREG(source.before.st_mode)) {
      return notRegular();
    }
    if (auto recorded = recordVersion(source); !recorded) {
      return tl::make_unexpected(recorded.error());
    }
    return source;
  }

  constexpr int ATTEMPTS = 100;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    auto place = fileio::placeOf(path);
    if (!place) {
      return refuse(placeFailure(place.error(), Failure::image_unreadable), place.error());
    }
    const int follow = place->kernelLink ? 0 : O_NOFOLLOW;
    source.fd.reset(
        openat(place->dir.get(), place->name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | follow));
    if (!source.fd.valid()) {
      const int code = errno;
      if (place->exists && (code == ELOOP || code == ENOENT)) {
        continue; // replaced by a link, or removed, since it was found
      }
      return cannotOpen(code);
    }
    if (fstat(source.fd.get(), &source.before) != 0) {
      return cannotOpen(errno);
    }
    if (!S_ISREG(source.before.st_mode)) {
      return notRegular();
    }
    if (auto allowed = fileio::checkShared(*place, source.before); !allowed) {
      return refuse(Failure::path_refused, allowed.error());
    }
    // A dry run changes nothing, so it neither takes the lock nor waits.
    if (!options.dryRun) {
      if (auto locked = lockImage(source, options); !locked) {
        return tl::make_unexpected(locked.error());
      }
    }
    struct stat now {};
    if (fstatat(place->dir.get(), place->name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        fileio::sameFile(now, source.before)) {
      // What the change checks compare with is the image as it is now that
      // this run has it to itself.
      source.place = std::move(*place);
      if (auto recorded = recordVersion(source); !recorded) {
        return tl::make_unexpected(recorded.error());
      }
      return source;
    }
  }
  return refuse(Failure::image_changed, "the image " + quoted(path) + " keeps being replaced");
}

Result<void> checkUnchanged(const Source& source, const char* afterwards) {
  struct stat after {};
  if (fstat(source.fd.get(), &after) != 0 || !fileio::sameVersion(source.before, after)) {
    return refuse(Failure::image_changed,
                  "the image " + quoted(source.path) + " changed while it was being read" + afterwards);
  }
  return {};
}

} // namespace stamp
