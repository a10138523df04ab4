// A disk with a bad spot, for the tests: loaded into a program with
// LD_PRELOAD, it makes every pread that covers the byte at offset
// BRACKWELL_FAIL_READ_AT fail with EIO. Every other read goes through.
// (Linux only: the tests that use it skip elsewhere.)
#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

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
  // The next definition of `name` after this library: the C library's.
  const auto real = reinterpret_cast<Pread>(dlsym(RTLD_NEXT, name));
  return real(fd, buffer, count, offset);
}

} // namespace

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  return readThrough("pread", fd, buffer, count, offset);
}

extern "C" ssize_t pread64(int fd, void* buffer, size_t count, off_t offset) {
  return readThrough("pread64", fd, buffer, count, offset);
}
