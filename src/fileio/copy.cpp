#include "fileio/copy.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fileio/io.h"

#if defined(BRACKWELL_HAVE_FICLONE)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#if defined(BRACKWELL_HAVE_SENDFILE)
#include <sys/sendfile.h>
#endif

namespace fileio {

namespace {

// Kernel copies go in slices, so that a signal is seen between them and a
// 32-bit size_t never overflows.
constexpr std::uint64_t KERNEL_SLICE = 1u << 30;

// Errors that say the kernel will not move bytes between these two files
// (another file system, no support, a target it cannot write this way); a
// buffer may still succeed.
[[maybe_unused]] bool kernelCopyUnavailable(int error) {
  return error == ENOSYS || error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOTSUP ||
         error == EBADF || error == ETXTBSY;
}

// Errors that can only come from the receiving end.
[[maybe_unused]] bool writeSideError(int error) {
  return error == EPIPE || error == ENOSPC || error == EFBIG || error == EDQUOT || error == ECONNRESET;
}

tl::unexpected<Error> readFailure(const Error& error, const Ends& ends) {
  return tl::make_unexpected(error.within("cannot read " + ends.source));
}

tl::unexpected<Error> writeFailure(const Error& error, const Ends& ends) {
  return tl::make_unexpected(error.within("cannot write " + ends.target));
}

// Copies [from, end) through a buffer: positional writes into a file
// (`target` given at the same offsets) or, with `positional` false, writes at
// the target's current position.
Result<CopyMethod> bufferCopy(int source, std::uint64_t from, std::uint64_t end, int target, bool positional,
                              const Ends& ends) {
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(BUFFER_SIZE, end - from)));
  for (std::uint64_t at = from; at < end;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - at));
    if (auto read = readAt(source, at, buffer.data(), want); !read) {
      return readFailure(read.error(), ends);
    }
    auto wrote =
        positional ? writeAllAt(target, buffer.data(), want, at) : writeAll(target, buffer.data(), want);
    if (!wrote) {
      return writeFailure(wrote.error(), ends);
    }
    at += want;
  }
  return CopyMethod::stream;
}

// One in-kernel way of moving bytes: returns what one call moved, 0 at the
// source's end, -1 with errno set.
using KernelMove = ssize_t (*)(int source, std::uint64_t& offset, int target, std::size_t size);

#if defined(BRACKWELL_HAVE_COPY_FILE_RANGE)
ssize_t moveCopyFileRange(int source, std::uint64_t& offset, int target, std::size_t size) {
  auto in = static_cast<loff_t>(offset);
  const ssize_t moved = copy_file_range(source, &in, target, nullptr, size, 0);
  offset = static_cast<std::uint64_t>(in);
  return moved;
}
#endif

#if defined(BRACKWELL_HAVE_SPLICE)
ssize_t moveSplice(int source, std::uint64_t& offset, int target, std::size_t size) {
  auto in = static_cast<loff_t>(offset);
  const ssize_t moved = splice(source, &in, target, nullptr, size, SPLICE_F_MOVE | SPLICE_F_MORE);
  offset = static_cast<std::uint64_t>(in);
  return moved;
}
#endif

#if defined(BRACKWELL_HAVE_SENDFILE)
ssize_t moveSendfile(int source, std::uint64_t& offset, int target, std::size_t size) {
  auto in = static_cast<off_t>(offset);
  const ssize_t moved = sendfile(target, source, &in, size);
  offset = static_cast<std::uint64_t>(in);
  return moved;
}
#endif

// Moves [at, end) with `move` until done (true), or until the kernel says it
// will not (false: `at` tells how far it got, and the caller goes on through
// a buffer).
[[maybe_unused]] Result<bool> kernelCopy(KernelMove move, int source, std::uint64_t& at, std::uint64_t end,
                                         int target, const Ends& ends) {
  while (at < end) {
    const auto slice = static_cast<std::size_t>(std::min<std::uint64_t>(end - at, KERNEL_SLICE));
    const ssize_t moved = move(source, at, target, slice);
    if (moved > 0) {
      continue; // `move` advanced `at`
    }
    if (moved == 0) {
      return readFailure(systemError(0), ends); // the source ended early
    }
    const int code = errno;
    if (code == EINTR) {
      continue;
    }
    if (code == EAGAIN || code == EWOULDBLOCK) {
      if (auto waited = waitFor(target, POLLOUT); !waited) {
        return writeFailure(waited.error(), ends);
      }
      continue;
    }
    if (kernelCopyUnavailable(code)) {
      return false;
    }
    return writeSideError(code) ? writeFailure(systemError(code), ends)
                                : readFailure(systemError(code), ends);
  }
  return true;
}

} // namespace

std::string nameOf(CopyMethod method) {
  switch (method) {
  case CopyMethod::none:
    return "none";
  case CopyMethod::clone:
#if defined(BRACKWELL_HAVE_FCLONEFILEAT)
    return "clone (fclonefileat)";
#else
    return "clone (FICLONE)";
#endif
  case CopyMethod::copy_file_range:
    return "copy_file_range";
  case CopyMethod::splice:
    return "splice";
  case CopyMethod::sendfile:
    return "sendfile";
  case CopyMethod::stream:
    return "streamed";
  }
  return "unknown";
}

Result<CopyMethod> copyPrefix(int source, int target, std::uint64_t length, CopyLimit limit,
                              const Ends& ends) {
  std::uint64_t done = 0;
#if defined(BRACKWELL_HAVE_FICLONE)
  // FICLONE shares the whole file's extents; cutting the clone back to the
  // length keeps exactly the bytes in front of it.
  if (limit == CopyLimit::cheapest && ioctl(target, FICLONE, source) == 0) {
    if (ftruncate(target, static_cast<off_t>(length)) != 0) {
      return writeFailure(systemError(errno), ends);
    }
    return CopyMethod::clone;
  }
#endif
#if defined(BRACKWELL_HAVE_COPY_FILE_RANGE)
  if (limit != CopyLimit::stream) {
    // The target is empty and written from its start, so its own offset
    // (which copy_file_range advances) is where each slice belongs.
    auto copied = kernelCopy(moveCopyFileRange, source, done, length, target, ends);
    if (!copied) {
      return tl::make_unexpected(copied.error());
    }
    if (*copied) {
      return CopyMethod::copy_file_range;
    }
  }
#endif
  static_cast<void>(limit);
  return bufferCopy(source, done, length, target, true, ends);
}

Result<CopyMethod> copyToStream(int source, std::uint64_t from, std::uint64_t length, int target,
                                CopyLimit limit, const Ends& ends) {
  const std::uint64_t end = from + length;
  std::uint64_t at = from;
  if (length == 0) {
    return CopyMethod::none;
  }
  struct stat st {};
  if (limit != CopyLimit::stream && fstat(target, &st) == 0) {
    KernelMove move = nullptr;
    CopyMethod method = CopyMethod::none;
#if defined(BRACKWELL_HAVE_SPLICE)
    if (S_ISFIFO(st.st_mode)) {
      move = moveSplice;
      method = CopyMethod::splice;
    }
#endif
#if defined(BRACKWELL_HAVE_COPY_FILE_RANGE)
    if (S_ISREG(st.st_mode)) {
      move = moveCopyFileRange;
      method = CopyMethod::copy_file_range;
    }
#endif
#if defined(BRACKWELL_HAVE_SENDFILE)
    if (move == nullptr) {
      move = moveSendfile;
      method = CopyMethod::sendfile;
    }
#endif
    if (move != nullptr) {
      auto copied = kernelCopy(move, source, at, end, target, ends);
      if (!copied) {
        return tl::make_unexpected(copied.error());
      }
      if (*copied) {
        return method;
      }
    }
  }
  return bufferCopy(source, at, end, target, false, ends);
}

} // namespace fileio
