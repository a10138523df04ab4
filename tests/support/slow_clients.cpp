// brackwell-slow-clients: many downloads on slow connections at once, held
// open, for the download server's test and benchmark: each connection asks
// for one target and then reads its answer slowly, as a customer far away
// would. One process holds them all, so what is measured is the server, not
// a thousand client processes. A test and benchmark tool: never installed.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

const char USAGE[] = "usage: brackwell-slow-clients PORT TARGET COUNT SECONDS\n";

const char HELP[] = "\n"
                    "Opens COUNT connections to 127.0.0.1:PORT, sends \"GET TARGET HTTP/1.1\" on each and\n"
                    "reads the answers slowly: a receive buffer of 4 KiB and at most 1 KiB per connection\n"
                    "every 100 ms. Prints\n"
                    "  ready COUNT: every status line and header within T ms\n"
                    "once each answer's headers have arrived with status 200, then reads on until SECONDS\n"
                    "have passed since the start, or SIGTERM or SIGINT arrives, and prints\n"
                    "  held N of COUNT open for S s, B bytes read\n"
                    "Exit status: 0 when every answer was 200 and every connection was still open at the\n"
                    "end, 1 otherwise, 2 usage error.\n";

constexpr int USAGE_ERROR = 2;
constexpr int RECEIVE_BUFFER = 4096;
constexpr std::size_t HEADER_LIMIT = 16384;
constexpr std::size_t READ_PER_TICK = 1024;
constexpr int TICK_MS = 100;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void requestStop(int) {
  stopRequested = 1;
}

double seconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Connection {
  int fd = -1;
  std::string head;    // the answer's status line and headers, as they arrive
  bool headed = false; // all of them arrived
  bool closed = false; // the server ended the connection (or it failed)
  std::uint64_t bodyBytes = 0;
};

// A whole decimal number from 1 to MAX, or 0.
unsigned long number(const char* text, unsigned long max) {
  if (*text == '\0' || std::strspn(text, "0123456789") != std::strlen(text) || std::strlen(text) > 9) {
    return 0;
  }
  unsigned long value = std::stoul(text);
  return value <= max ? value : 0;
}

// Connects and sends the request; the descriptor is then made non-blocking.
int connectTo(std::uint16_t port, const std::string& request, std::string& error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  // A small window keeps the server's writes waiting on this client, as on a
  // slow line, rather than parked in the kernel's buffers.
  int size = RECEIVE_BUFFER;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    error = std::string("connect: ") + std::strerror(errno);
    close(fd);
    return -1;
  }
  std::size_t sent = 0;
  while (sent < request.size()) {
    ssize_t n = write(fd, request.data() + sent, request.size() - sent);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      error = std::string("write: ") + std::strerror(errno);
      close(fd);
      return -1;
    }
    sent += static_cast<std::size_t>(n);
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// One slow read: the headers first, then at most READ_PER_TICK bytes of body.
// Returns a complaint about the answer, or an empty string.
std::string readSome(Connection& connection) {
  char buffer[READ_PER_TICK];
  ssize_t n = read(connection.fd, buffer, sizeof buffer);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return "";
    }
    connection.closed = true;
    return std::string("read: ") + std::strerror(errno);
  }
  if (n == 0) {
    connection.closed = true;
    return connection.headed ? "" : "the server closed the connection before its headers";
  }
  auto got = static_cast<std::size_t>(n);
  if (connection.headed) {
    connection.bodyBytes += got;
    return "";
  }
  connection.head.append(buffer, got);
  std::size_t end = connection.head.find("\r\n\r\n");
  if (end == std::string::npos) {
    return connection.head.size() > HEADER_LIMIT ? "headers longer than 16 KiB" : "";
  }
  connection.headed = true;
  connection.bodyBytes += connection.head.size() - (end + 4);
  if (connection.head.compare(0, 13, "HTTP/1.1 200 ") != 0) {
    return "answered " + connection.head.substr(0, connection.head.find("\r\n"));
  }
  return "";
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::cout << USAGE << HELP;
    return 0;
  }
  unsigned long port = argc == 5 ? number(argv[1], 65535) : 0;
  unsigned long count = argc == 5 ? number(argv[3], 100000) : 0;
  unsigned long limit = argc == 5 ? number(argv[4], 86400) : 0;
  if (port == 0 || count == 0 || limit == 0 || argv[2][0] != '/') {
    std::cerr << USAGE;
    return USAGE_ERROR;
  }
  std::string request = std::string("GET ") + argv[2] +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: brackwell-slow-clients\r\n\r\n";

  // One descriptor per connection: as many as the hard limit allows.
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  struct sigaction stop {};
  stop.sa_handler = requestStop;
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  double start = seconds();
  double deadline = start + static_cast<double>(limit);
  std::vector<Connection> connections(count);
  int failures = 0;
  auto complain = [&failures](std::size_t index, const std::string& problem) {
    if (!problem.empty()) {
      ++failures;
      std::cerr << "brackwell-slow-clients: connection " << index + 1 << ": " << problem << "\n";
    }
  };
  for (std::size_t i = 0; i < count; ++i) {
    std::string error;
    connections[i].fd = connectTo(static_cast<std::uint16_t>(port), request, error);
    if (connections[i].fd < 0) {
      complain(i, error);
      connections[i].closed = true;
    }
  }

  bool ready = false;
  while (!stopRequested && seconds() < deadline) {
    std::size_t headed = 0;
    for (std::size_t i = 0; i < count; ++i) {
      Connection& connection = connections[i];
      if (!connection.closed) {
        complain(i, readSome(connection));
      }
      headed += connection.headed ? 1 : 0;
    }
    if (!ready && headed == count) {
      ready = true;
      std::printf("ready %lu: every status line and header within %.0f ms\n", count,
                  (seconds() - start) * 1000);
      std::fflush(stdout);
    }
    poll(nullptr, 0, TICK_MS);
  }

  std::size_t stillOpen = 0;
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    Connection& connection = connections[i];
    if (connection.fd >= 0 && !connection.closed) {
      ++stillOpen;
    } else if (connection.fd >= 0 && connection.headed) {
      complain(i,
               "the server closed the connection after " + std::to_string(connection.bodyBytes) + " bytes");
    }
    bytes += connection.bodyBytes;
    if (connection.fd >= 0) {
      close(connection.fd);
    }
  }
  if (!ready) {
    std::cerr << "brackwell-slow-clients: not every answer's headers arrived within " << limit << " s\n";
  }
  std::printf("held %zu of %lu open for %.1f s, %llu bytes read\n", stillOpen, count, seconds() - start,
              static_cast<unsigned long long>(bytes));
  return ready && failures == 0 && stillOpen == count ? 0 : 1;
}
