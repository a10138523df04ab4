// Faults at chosen moments, for the tests: loaded into a program with
// LD_PRELOAD (Linux only; the tests that use it skip elsewhere), it wraps a
// few C library calls.
//
//   BRACKWELL_FAIL_READ_AT=N   every pread that covers byte N fails with EIO,
//                              as on a disk with a bad spot
//   BRACKWELL_SIGNAL_ON_CREATE=S
//                              right after a file whose name holds ".stamp-"
//                              is created (open, openat, mkstemp, mkostemp),
//                              the program gets signal S: the moment between
//                              creating a temporary file and registering it
//                              for removal
//   BRACKWELL_FAIL_SETXATTR=NAME:E
//                              fsetxattr of the extended attribute NAME fails
//                              with errno E (a number), as macOS's does for
//                              an attribute only some processes may set
//
// Everything else goes through to the C library unchanged.
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// The next definition of `name` after this library: the C library's.
template <typename Function> Function next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

// Whether [offset, offset + count) holds the failing byte.
bool covers(off_t offset, size_t count) {
  const char* at = std::getenv("BRACKWELL_FAIL_READ_AT");
  if (at == nullptr || count == 0) {
    return false;
  }
  const long long bad = std::atoll(at);
  return offset <= bad && bad - offset < static_cast<long long>(count);
}

using Pread = ssize_t (*)(int, void*, size_t, off_t);

ssize_t readThrough(const char* name, int fd, void* buffer, size_t count, off_t offset) {
  if (covers(offset, count)) {
    errno = EIO;
    return -1;
  }
  return next<Pread>(name)(fd, buffer, count, offset);
}

// After `fd` was created as `path`: the signal, when asked for.
int created(int fd, const char* path) {
  const char* signal = std::getenv("BRACKWELL_SIGNAL_ON_CREATE");
  if (fd >= 0 && signal != nullptr && std::strstr(path, ".stamp-") != nullptr) {
    const int saved = errno;
    raise(std::atoi(signal));
    errno = saved;
  }
  return fd;
}

using OpenAt = int (*)(int, const char*, int, ...);
using MakeTemporary = int (*)(char*);
using MakeTemporaryWithFlags = int (*)(char*, int);

// open and openat: the C library's openat (open is openat in the working
// directory), then the signal after a creation. `arguments` hold the mode
// when the call may create.
int openThrough(int dir, const char* path, int flags, va_list arguments) {
  const mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(arguments, unsigned)) : 0;
  const int fd = next<OpenAt>("openat")(dir, path, flags, mode);
  return (flags & O_CREAT) != 0 ? created(fd, path) : fd;
}

// Whether setting the attribute `name` must fail, and with what errno.
int setAttributeFault(const char* name) {
  const char* fault = std::getenv("BRACKWELL_FAIL_SETXATTR");
  const char* colon = fault == nullptr ? nullptr : std::strrchr(fault, ':');
  if (colon == nullptr || std::strlen(name) != static_cast<std::size_t>(colon - fault) ||
      std::strncmp(fault, name, std::strlen(name)) != 0) {
    return 0;
  }
  return std::atoi(colon + 1);
}

using SetAttribute = int (*)(int, const char*, const void*, size_t, int);

} // namespace

// <sys/xattr.h> is not included: its declaration is noexcept, which a C++
// definition would have to repeat.
extern "C" int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  if (const int fault = setAttributeFault(name); fault != 0) {
    errno = fault;
    return -1;
  }
  return next<SetAttribute>("fsetxattr")(fd, name, value, size, flags);
}

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  return readThrough("pread", fd, buffer, count, offset);
}

extern "C" ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
  return readThrough("pread64", fd, buffer, count, offset);
}

extern "C" int open(const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const int fd = openThrough(AT_FDCWD, path, flags, arguments);
  va_end(arguments);
  return fd;
}

extern "C" int openat(int dir, const char* path, int flags, ...) {
  va_list arguments;
  va_start(arguments, flags);
  const int fd = openThrough(dir, path, flags, arguments);
  va_end(arguments);
  return fd;
}

extern "C" int mkstemp(char* pattern) {
  return created(next<MakeTemporary>("mkstemp")(pattern), pattern);
}

extern "C" int mkostemp(char* pattern, int flags) {
  return created(next<MakeTemporaryWithFlags>("mkostemp")(pattern, flags), pattern);
}
