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

constexpr std::size_t BUFFER_SIZE = 1 << 20;
// Kernel copies go in slices, so that a signal is seen between them and a
// 32-bit size_t never overflows.
constexpr std::uint64_t KERNEL_SLICE = 1u << 30;

CopyResult failedWith(CopyMethod method, CopyResult::Failed failed, int error) {
  CopyResult result;
  result.method = method;
  result.failed = failed;
  result.error = error;
  return result;
}

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

// Copies [from, end) through a buffer: positional writes into a file
// (`target` given at the same offsets) or, with `positional` false, writes at
// the target's current position.
CopyResult bufferCopy(int source, std::uint64_t from, std::uint64_t end, int target, bool positional) {
  std::vector<std::uint8_t> buffer(
      static_cast<std::size_t>(std::min<std::uint64_t>(BUFFER_SIZE, end - from)));
  for (std::uint64_t at = from; at < end;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - at));
    const std::size_t got = readAt(source, at, buffer.data(), want);
    if (got != want) {
      return failedWith(CopyMethod::stream, CopyResult::Failed::reading, errno);
    }
    const bool wrote =
        positional ? writeAllAt(target, buffer.data(), got, at) : writeAll(target, buffer.data(), got);
    if (!wrote) {
      return failedWith(CopyMethod::stream, CopyResult::Failed::writing, errno);
    }
    at += got;
  }
  CopyResult result;
  result.method = CopyMethod::stream;
  return result;
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

// Moves [at, end) with `move` until done, or until the kernel says it will
// not (then `at` tells how far it got and the result is ok with method none,
// for the caller to go on through a buffer).
[[maybe_unused]] CopyResult kernelCopy(KernelMove move, CopyMethod method, int source, std::uint64_t& at,
                                       std::uint64_t end, int target) {
  while (at < end) {
    const auto slice = static_cast<std::size_t>(std::min<std::uint64_t>(end - at, KERNEL_SLICE));
    const ssize_t moved = move(source, at, target, slice);
    if (moved > 0) {
      continue; // `move` advanced `at`
    }
    if (moved == 0) {
      return failedWith(method, CopyResult::Failed::reading, 0); // the source ended early
    }
    if (errno == EINTR) {
      continue;
    }
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitFor(target, POLLOUT)) {
      continue;
    }
    if (kernelCopyUnavailable(errno)) {
      return {}; // method none: the rest goes through a buffer
    }
    return failedWith(
        method, writeSideError(errno) ? CopyResult::Failed::writing : CopyResult::Failed::reading, errno);
  }
  CopyResult result;
  result.method = method;
  return result;
}

} // namespace

std::string describe(CopyMethod method) {
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

CopyResult copyPrefix(int source, int target, std::uint64_t length, CopyLimit limit) {
  std::uint64_t done = 0;
#if defined(BRACKWELL_HAVE_FICLONE)
  // FICLONE shares the whole file's extents; cutting the clone back to the
  // length keeps exactly the bytes in front of it.
  if (limit == CopyLimit::cheapest && ioctl(target, FICLONE, source) == 0) {
    if (ftruncate(target, static_cast<off_t>(length)) != 0) {
      return failedWith(CopyMethod::clone, CopyResult::Failed::writing, errno);
    }
    CopyResult result;
    result.method = CopyMethod::clone;
    return result;
  }
#endif
#if defined(BRACKWELL_HAVE_COPY_FILE_RANGE)
  if (limit != CopyLimit::stream) {
    // The target is empty and written from its start, so its own offset
    // (which copy_file_range advances) is where each slice belongs.
    const CopyResult kernel =
        kernelCopy(moveCopyFileRange, CopyMethod::copy_file_range, source, done, length, target);
    if (!kernel.ok() || kernel.method != CopyMethod::none) {
      return kernel;
    }
  }
#endif
  static_cast<void>(limit);
  return bufferCopy(source, done, length, target, true);
}

CopyResult copyToStream(int source, std::uint64_t from, std::uint64_t length, int target, CopyLimit limit) {
  const std::uint64_t end = from + length;
  std::uint64_t at = from;
  if (length == 0) {
    return {};
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
      const CopyResult kernel = kernelCopy(move, method, source, at, end, target);
      if (!kernel.ok() || kernel.method != CopyMethod::none) {
        return kernel;
      }
    }
  }
  return bufferCopy(source, at, end, target, false);
}

} // namespace fileio
