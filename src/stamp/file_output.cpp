#include "stamp/file_output.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fileio/atomic_file.h"
#include "fileio/attributes.h"
#include "fileio/copy.h"
#include "fileio/io.h"
#include "fileio/place.h"
#include "profile/code_signature.h"
#include "profile/profile_trailer.h"
#include "stamp/refuse.h"

namespace stamp {

namespace {

using fileio::CopyMethod;
using fileio::quoted;
using profile_trailer::Location;
using profile_trailer::Status;

// How the new image is named in messages about writing it.
const char* const NEW_FILE = "the new image";

// Where a new file goes: the image's own name (through symbolic links,
// which stay links) or the output path, under the shared-directory rules.
Result<fileio::Place> destinationOf(Source& source, const Options& options) {
  if (inPlace(options)) {
    return std::move(*source.place);
  }
  auto place = fileio::placeOf(options.out);
  if (!place) {
    if (place.error().code == EISDIR) {
      return refuse(Failure::output_unusable, "the output " + quoted(options.out) + " names a directory");
    }
    return refuse(placeFailure(place.error(), Failure::write_failed), place.error());
  }
  if (place->exists) {
    if (fileio::sameFile(place->info, source.before)) {
      return refuse(Failure::output_is_image, "the output " + quoted(options.out) + " is the image itself");
    }
    if (!S_ISREG(place->info.st_mode)) {
      return refuse(Failure::output_unusable,
                    "the output " + quoted(options.out) + " exists and is not a regular file");
    }
    if (auto allowed = fileio::checkShared(*place, place->info); !allowed) {
      return refuse(Failure::path_refused, allowed.error());
    }
  }
  return std::move(*place);
}

// The process's file-creation mask, which can be read only by setting it.
mode_t currentUmask() {
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

} // namespace

Result<void> checkFileOutput(Source& source, const Options& options) {
  auto destination = destinationOf(source, options);
  if (!destination) {
    return tl::make_unexpected(destination.error());
  }
  if (faccessat(destination->dir.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
    const int code = errno;
    return refuse(
        Failure::write_failed,
        fileio::systemError("cannot create the new file next to " + quoted(destination->path), code));
  }
  return {};
}

Result<Outcome> writeFile(Source& source, const Plan& plan, int profileFd,
                          const std::function<Result<Recipe>()>& recipe, const Options& options) {
  auto destination = destinationOf(source, options);
  if (!destination) {
    return tl::make_unexpected(destination.error());
  }
  fileio::AtomicFile temp(*destination, TEMPORARY_TAG);
  // What a run ended by SIGKILL or a power loss left for this destination
  // goes first; files of runs still at work are locked and stay, and so do
  // the files this run was given, whatever their names.
  std::vector<struct stat> given{source.before};
  struct stat profile {};
  if (profileFd >= 0 && fstat(profileFd, &profile) == 0) {
    given.push_back(profile);
  }
  for (const std::string& leftover : fileio::removeLeftovers(*destination, TEMPORARY_TAG, given)) {
    tell(options, "removed " + quoted(leftover) + ", left behind by a run that was ended before it finished");
  }

  CopyMethod method = CopyMethod::none;
  if (options.copy == fileio::CopyLimit::cheapest && temp.createClone(source.fd.get())) {
    if (ftruncate(temp.fd(), static_cast<off_t>(plan.keep)) != 0) {
      const int code = errno;
      return refuse(Failure::write_failed, fileio::systemError("cannot cut the cloned image", code));
    }
    method = CopyMethod::clone;
  } else {
    if (auto created = temp.create(); !created) {
      return refuse(Failure::write_failed, created.error());
    }
    auto copied =
        fileio::copyPrefix(source.fd.get(), temp.fd(), plan.keep, options.copy, {"the image", NEW_FILE});
    if (!copied) {
      return refuse(Failure::write_failed, copied.error());
    }
    method = *copied;
    // What a clone carries by itself, so that the new image is the same
    // whichever way its bytes were copied. What the new file cannot take is
    // left out and told.
    auto carried = fileio::copyExtendedAttributes(source.fd.get(), temp.fd());
    if (!carried) {
      return refuse(Failure::write_failed, carried.error());
    }
    for (const fileio::Error& leftOut : *carried) {
      tell(options, leftOut.message);
    }
  }

  const auto made = recipe();
  if (!made) {
    return tl::make_unexpected(made.error());
  }
  Outcome outcome = outcomeOf(*made);
  outcome.copy = method;
  if (auto wrote = fileio::writeAllAt(temp.fd(), made->tail.data(), made->tail.size(), made->keep());
      !wrote) {
    return refuse(Failure::write_failed, wrote.error().within(std::string("cannot write ") + NEW_FILE));
  }

  // Read the result back the way brackwell will before it replaces anything:
  // the profile where it was written (or none where one was removed), the
  // trailer at the end, and no code signature.
  const Location written = profile_trailer::locate(temp.fd());
  const bool profileReadsBack = made->plan.operation == Operation::write
                                    ? written.status == Status::ok &&
                                          written.profileOffset == outcome.profileOffset &&
                                          written.length == outcome.profileLength
                                    : written.status != Status::no_trailer;
  if (!profileReadsBack || written.fileSize != made->size ||
      code_signature::read(temp.fd(), written.fileSize).present()) {
    return refuse(Failure::write_failed, "the new image does not read back as written");
  }

  // An in-place result is the same file to its owner: same owner where we
  // may set it (chown clears set-id bits, so it goes first), same mode. A
  // new output is like a copy: the image's mode within the umask.
  mode_t mode =
      inPlace(options) ? (source.before.st_mode & 07777) : (source.before.st_mode & 0777 & ~currentUmask());
  if (inPlace(options)) {
    struct stat now {};
    if (fstat(temp.fd(), &now) == 0 &&
        (now.st_uid != source.before.st_uid || now.st_gid != source.before.st_gid) &&
        fchown(temp.fd(), source.before.st_uid, source.before.st_gid) != 0) {
      // Only root may give a file away; the group may still be ours to set.
      static_cast<void>(fchown(temp.fd(), static_cast<uid_t>(-1), source.before.st_gid));
    }
    // A file that could not keep its owner and group is a file of whoever
    // runs this: it keeps no set-user-ID or set-group-ID bit, as with cp -p
    // and install, or stamping someone's set-id image would make a set-id
    // program of ours.
    if (fstat(temp.fd(), &now) != 0 || now.st_uid != source.before.st_uid ||
        now.st_gid != source.before.st_gid) {
      mode &= static_cast<mode_t>(~(S_ISUID | S_ISGID));
    }
  }
  if (fchmod(temp.fd(), mode) != 0) {
    const int code = errno;
    return refuse(Failure::write_failed,
                  fileio::systemError("cannot set the permissions of the new image", code));
  }
  if (auto flushed = temp.flush(); !flushed) {
    return refuse(Failure::write_failed, flushed.error());
  }

  // A writer that changed the image meanwhile would have its change lost
  // by the rename, or leave a copy of bytes from two versions; an image
  // replaced by another file meanwhile is not the one that was copied.
  if (auto unchanged = checkUnchanged(source); !unchanged) {
    return tl::make_unexpected(unchanged.error());
  }
  struct stat atName {};
  if (inPlace(options) &&
      (fstatat(destination->dir.get(), destination->name.c_str(), &atName, AT_SYMLINK_NOFOLLOW) != 0 ||
       !fileio::sameFile(atName, source.before))) {
    return refuse(Failure::image_changed,
                  "the image " + quoted(source.path) + " changed while it was being read");
  }
  if (auto committed = temp.commit(); !committed) {
    return refuse(Failure::write_failed, committed.error());
  }
  return outcome;
}

} // namespace stamp
