// The reading end of the streaming benchmark: takes everything from standard
// input and throws it away as cheaply as the system allows (splice into
// /dev/null on Linux, else read), so that a pipeline's time is the writer's.
// With -c it prints how many bytes arrived.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

int main(int argc, char* argv[]) {
  const bool count = argc > 1 && std::strcmp(argv[1], "-c") == 0;
  unsigned long long total = 0;
#if defined(SPLICE_F_MOVE)
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    for (;;) {
      const ssize_t moved = splice(STDIN_FILENO, nullptr, null, nullptr, 1 << 30, SPLICE_F_MOVE);
      if (moved > 0) {
        total += static_cast<unsigned long long>(moved);
        continue;
      }
      if (moved < 0 && errno == EINTR) {
        continue;
      }
      if (moved == 0) {
        if (count) {
          std::printf("%llu\n", total);
        }
        return 0;
      }
      break; // not a pipe, or no splice: read instead
    }
  }
#endif
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got > 0) {
      total += static_cast<unsigned long long>(got);
    } else if (got == 0) {
      break;
    } else if (errno != EINTR) {
      std::perror("pipe_sink: read");
      return 1;
    }
  }
  if (count) {
    std::printf("%llu\n", total);
  }
  return 0;
}
