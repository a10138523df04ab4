// Many slow customers at once, for the download server's benchmark
// (scripts/bench-download.sh): opens CONNECTIONS connections to one URL, sends
// each a GET, and then reads each at READ_RATE bytes per second (0: only the
// response's first bytes, then nothing) through a small receive buffer, so
// that the server holds every download open, as it would for customers on
// slow lines. One process and one poll() loop for all of them: a thousand curl
// processes would measure curl and the scheduler, not the server.
//
//   brackwell_slow_clients URL CONNECTIONS SECONDS [READ_RATE [RCVBUF]]
//
// URL is http://IPV4:PORT/PATH. When every connection has its response's
// status line it prints "ready: ..." (the caller measures the server from
// then on), holds them all for SECONDS, closes them and prints what became of
// them. Exit status 0 when every connection was answered with 200 and was
// still open (or had its whole body) at the end, 1 otherwise, 2 on a usage
// error. A connection that reads nothing (READ_RATE 0) cannot tell that the
// server gave up on it: the server's end of the close waits behind the data
// the client never takes, so it counts as open.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

enum class Stage { connecting, sending, waitingForStatus, holding, completed, cut, failed };

struct Connection {
  int fd = -1;
  Stage stage = Stage::connecting;
  std::size_t sent = 0;
  std::string head;            // the response up to the end of its header
  long long bodyExpected = -1; // Content-Length, when the header gave one
  long long bodyRead = 0;
  double allowance = 0; // bytes it may read now, at READ_RATE
  int status = 0;       // the status line's code
};

// The whole of the first argument must be a number from low to high.
bool numberFrom(const char* text, long long low, long long high, long long& value) {
  char* end = nullptr;
  errno = 0;
  const long long parsed = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
    return false;
  }
  value = parsed;
  return true;
}

struct Target {
  sockaddr_in address{};
  std::string request;
};

// http://A.B.C.D:PORT/PATH; the host is sent as given.
bool parseUrl(const std::string& url, Target& target) {
  const std::string scheme = "http://";
  if (url.compare(0, scheme.size(), scheme) != 0) {
    return false;
  }
  const std::size_t hostEnd = url.find('/', scheme.size());
  const std::string authority = url.substr(scheme.size(), hostEnd - scheme.size());
  const std::size_t colon = authority.rfind(':');
  long long port = 0;
  if (hostEnd == std::string::npos || colon == std::string::npos ||
      !numberFrom(authority.c_str() + colon + 1, 1, 65535, port)) {
    return false;
  }
  target.address.sin_family = AF_INET;
  target.address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, authority.substr(0, colon).c_str(), &target.address.sin_addr) != 1) {
    return false;
  }
  target.request = "GET " + url.substr(hostEnd) + " HTTP/1.1\r\nHost: " + authority +
                   "\r\nUser-Agent: brackwell_slow_clients\r\nAccept: */*\r\n\r\n";
  return true;
}

// Enough descriptors for every connection and a few more.
bool allowDescriptors(long long connections) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    return false;
  }
  const auto needed = static_cast<rlim_t>(connections + 16);
  if (limit.rlim_cur >= needed) {
    return true;
  }
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
    return false;
  }
  limit.rlim_cur = needed;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

bool startConnection(Connection& connection, const Target& target, int receiveBuffer) {
  connection.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (connection.fd < 0) {
    return false;
  }
  // Before connect, so that the window the client offers is small from the
  // first segment on.
  if (receiveBuffer > 0) {
    setsockopt(connection.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  const int result =
      connect(connection.fd, reinterpret_cast<const sockaddr*>(&target.address), sizeof target.address);
  if (result != 0 && errno != EINPROGRESS) {
    return false;
  }
  connection.stage = result == 0 ? Stage::sending : Stage::connecting;
  return true;
}

// Takes what the header says: the status code and Content-Length.
void readHead(Connection& connection) {
  const std::string& head = connection.head;
  if (head.compare(0, 9, "HTTP/1.1 ") == 0 || head.compare(0, 9, "HTTP/1.0 ") == 0) {
    connection.status = std::atoi(head.c_str() + 9);
  }
  const std::string field = "\r\nContent-Length: ";
  const std::size_t at = head.find(field);
  if (at != std::string::npos) {
    connection.bodyExpected = std::atoll(head.c_str() + at + field.size());
  }
}

// One read of at most `most` bytes; the header is kept until it ends, the
// body only counted. Moves the connection on when the server has closed it.
void readSome(Connection& connection, std::size_t most) {
  char buffer[16384];
  const ssize_t got = read(connection.fd, buffer, std::min(most, sizeof buffer));
  if (got < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      connection.stage = Stage::cut;
    }
    return;
  }
  if (got == 0) {
    const bool whole = connection.bodyExpected >= 0 && connection.bodyRead >= connection.bodyExpected;
    connection.stage = whole ? Stage::completed : Stage::cut;
    return;
  }
  connection.allowance -= static_cast<double>(got);
  std::size_t bodyStart = 0;
  if (connection.stage == Stage::waitingForStatus) {
    const std::size_t before = connection.head.size();
    connection.head.append(buffer, static_cast<std::size_t>(got));
    const std::size_t end = connection.head.find("\r\n\r\n");
    if (end == std::string::npos) {
      return;
    }
    readHead(connection);
    connection.stage = Stage::holding;
    bodyStart = end + 4 - before;
    connection.head.resize(end + 4);
  }
  connection.bodyRead += got - static_cast<ssize_t>(bodyStart);
  if (connection.bodyExpected >= 0 && connection.bodyRead >= connection.bodyExpected) {
    connection.stage = Stage::completed;
  }
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int usage() {
  std::fprintf(stderr, "usage: brackwell_slow_clients http://IPV4:PORT/PATH CONNECTIONS SECONDS "
                       "[READ_RATE [RCVBUF]]\n"
                       "  READ_RATE  bytes per second each connection reads once answered (default 1024;\n"
                       "             0: the response's first bytes, then nothing)\n"
                       "  RCVBUF     each socket's receive buffer, SO_RCVBUF (default 4096)\n");
  return 2;
}

} // namespace

int main(int argc, char* argv[]) {
  long long connections = 0, seconds = 0, rate = 1024, receiveBuffer = 4096;
  Target target;
  if (argc < 4 || argc > 6 || !parseUrl(argv[1], target) || !numberFrom(argv[2], 1, 100000, connections) ||
      !numberFrom(argv[3], 1, 86400, seconds) || (argc > 4 && !numberFrom(argv[4], 0, 1LL << 30, rate)) ||
      (argc > 5 && !numberFrom(argv[5], 0, 1 << 30, receiveBuffer))) {
    return usage();
  }
  if (!allowDescriptors(connections)) {
    std::fprintf(stderr, "brackwell_slow_clients: cannot open %lld descriptors (ulimit -n)\n", connections);
    return 1;
  }

  std::vector<Connection> all(static_cast<std::size_t>(connections));
  std::vector<pollfd> polled;
  const auto start = Clock::now();
  // Connections are opened a few at a time, so that the server's listen
  // queue never overflows and no SYN waits for a retransmission.
  const std::size_t openAtOnce = 64;
  std::size_t opened = 0;
  std::size_t answered = 0;
  bool ready = false;
  Clock::time_point readyAt;
  auto lastTick = Clock::now();
  const double waitForReady = 60;

  for (;;) {
    std::size_t pending = 0;
    for (const Connection& connection : all) {
      pending +=
          connection.fd >= 0 && (connection.stage == Stage::connecting || connection.stage == Stage::sending);
    }
    while (opened < all.size() && pending < openAtOnce) {
      if (!startConnection(all[opened], target, static_cast<int>(receiveBuffer))) {
        std::fprintf(stderr, "brackwell_slow_clients: connection %zu: %s\n", opened + 1,
                     std::strerror(errno));
        all[opened].stage = Stage::failed;
      }
      ++opened;
      ++pending;
    }

    // The rate is paid out ten times a second; while a connection waits for
    // its status line it may read the header whatever the rate.
    const double now = secondsSince(lastTick);
    if (now >= 0.1) {
      lastTick = Clock::now();
      for (Connection& connection : all) {
        if (connection.stage == Stage::holding) {
          connection.allowance = std::min(connection.allowance + static_cast<double>(rate) * now,
                                          std::max(static_cast<double>(rate), 1.0));
        }
      }
    }

    polled.clear();
    std::vector<std::size_t> which;
    for (std::size_t i = 0; i < opened; ++i) {
      const Connection& connection = all[i];
      short events = 0;
      switch (connection.stage) {
      case Stage::connecting:
      case Stage::sending:
        events = POLLOUT;
        break;
      case Stage::waitingForStatus:
        events = POLLIN;
        break;
      case Stage::holding:
        // Held connections are read only as the rate allows; otherwise
        // watched only for the server closing them.
        events = connection.allowance >= 1 ? POLLIN : 0;
#ifdef POLLRDHUP
        events = static_cast<short>(events | POLLRDHUP);
#endif
        break;
      case Stage::completed:
      case Stage::cut:
      case Stage::failed:
        continue;
      }
      polled.push_back(pollfd{connection.fd, events, 0});
      which.push_back(i);
    }
    if (poll(polled.data(), polled.size(), 100) < 0 && errno != EINTR) {
      std::perror("brackwell_slow_clients: poll");
      return 1;
    }
    for (std::size_t k = 0; k < polled.size(); ++k) {
      Connection& connection = all[which[k]];
      const short revents = polled[k].revents;
      if (revents == 0) {
        continue;
      }
      if (connection.stage == Stage::connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(connection.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
          connection.stage = Stage::failed;
          continue;
        }
        connection.stage = Stage::sending;
      }
      if (connection.stage == Stage::sending) {
        const ssize_t wrote = write(connection.fd, target.request.data() + connection.sent,
                                    target.request.size() - connection.sent);
        if (wrote < 0) {
          connection.stage = errno == EAGAIN || errno == EINTR ? connection.stage : Stage::failed;
          continue;
        }
        connection.sent += static_cast<std::size_t>(wrote);
        if (connection.sent == target.request.size()) {
          connection.stage = Stage::waitingForStatus;
        }
        continue;
      }
      if (connection.stage == Stage::waitingForStatus) {
        readSome(connection, 4096);
        answered += connection.stage != Stage::waitingForStatus && connection.status != 0;
        continue;
      }
      // Holding: read what the rate allows; a connection whose rate is 0
      // is only told apart from one the server closed by the hang-up.
      if (connection.allowance >= 1) {
        readSome(connection, static_cast<std::size_t>(connection.allowance));
      } else if ((revents & (POLLHUP | POLLERR)) != 0) {
        connection.stage = Stage::cut;
      }
#ifdef POLLRDHUP
      else if ((revents & POLLRDHUP) != 0) {
        connection.stage = Stage::cut;
      }
#endif
    }

    if (!ready) {
      std::size_t settled = 0;
      for (const Connection& connection : all) {
        settled += connection.stage != Stage::connecting && connection.stage != Stage::sending &&
                   connection.stage != Stage::waitingForStatus;
      }
      if (opened == all.size() && settled == all.size()) {
        ready = true;
        readyAt = Clock::now();
        std::printf("ready: %zu of %lld connections answered in %.2f s; holding them for %lld s\n", answered,
                    connections, secondsSince(start), seconds);
        std::fflush(stdout);
      } else if (secondsSince(start) > waitForReady) {
        std::printf("not ready: %zu of %lld connections answered after %.0f s\n", answered, connections,
                    waitForReady);
        return 1;
      }
    } else if (secondsSince(readyAt) >= static_cast<double>(seconds)) {
      break;
    }
  }

  std::size_t ok = 0, holding = 0, completed = 0, cut = 0, failed = 0, other = 0;
  long long body = 0;
  for (Connection& connection : all) {
    body += connection.bodyRead;
    ok += connection.status == 200;
    other += connection.status != 0 && connection.status != 200;
    switch (connection.stage) {
    case Stage::holding:
      ++holding;
      break;
    case Stage::completed:
      ++completed;
      break;
    case Stage::cut:
      ++cut;
      break;
    case Stage::connecting:
    case Stage::sending:
    case Stage::waitingForStatus:
    case Stage::failed:
      ++failed;
      break;
    }
    if (connection.fd >= 0) {
      close(connection.fd);
    }
  }
  std::printf("held %lld connections for %lld s at %lld B/s each: %zu answered 200, %zu another status; "
              "%zu still open, %zu complete, %zu cut by the server, %zu failed; %lld body bytes read\n",
              connections, seconds, rate, ok, other, holding, completed, cut, failed, body);
  return ok == all.size() && holding + completed == all.size() ? 0 : 1;
}
