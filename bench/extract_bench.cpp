// Profile extraction (readProfileFrom) timed against the least any reader has
// to do for the same result: open the image, one pread of the profile's bytes
// into memory it has just allocated, close. The two take turns inside every
// iteration (which goes first alternates), so whatever else loads the machine
// falls on both alike; their ratio is the figure that matters.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <malloc.h>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "fileio/byte_order.h"
#include "profile/profile_trailer.h"
#include "registry.h"
#include "support/test_support.h"

namespace {

constexpr std::uint64_t KiB = 1024;
constexpr std::uint64_t MiB = 1024 * KiB;
constexpr std::uint64_t GiB = 1024 * MiB;

// What extraction may hold at its peak beyond the profile itself.
constexpr std::uint64_t PEAK_ALLOWANCE = 4 * MiB;

enum class Cache {
  warm, // the image's pages are in the page cache (read once before timing)
  cold  // they are dropped before every read, by the reader and the floor alike
};

// The images of this run, made on first use in a directory that is removed
// when the program ends.
class Images {
public:
  const std::string& get(std::uint64_t imageSize, std::uint32_t profileSize) {
    const auto key = std::make_pair(imageSize, profileSize);
    const auto found = paths_.find(key);
    if (found != paths_.end()) {
      return found->second;
    }
    const std::string path =
        dir_.file("image-" + std::to_string(imageSize) + "-profile-" + std::to_string(profileSize) + ".dmg");
    // The profile's pseudo-random bytes at the end, behind a hole: a 64 GiB
    // image takes only its tail on disk.
    testsupport::ImageLayout layout;
    layout.fill = testsupport::Fill::hole;
    layout.randomProfile = profileSize;
    if (layout.size() > imageSize) {
      throw std::invalid_argument("image smaller than its profile");
    }
    layout.dataBytes = imageSize - layout.size();
    testsupport::writeImage(path, layout);
    return paths_.emplace(key, path).first->second;
  }

private:
  testsupport::TempDir dir_{"brackwell-bench"};
  std::map<std::pair<std::uint64_t, std::uint32_t>, std::string> paths_;
};

// Bytes as "64KiB", "1GiB".
std::string binarySize(std::uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  std::size_t unit = 0;
  while (unit + 1 < sizeof units / sizeof units[0] && bytes >= 1024 && bytes % 1024 == 0) {
    bytes /= 1024;
    ++unit;
  }
  return std::to_string(bytes) + units[unit];
}

Images& images() {
  static Images instance;
  return instance;
}

void dropFromPageCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
}

// The floor: the profile's bytes with nothing around them, read by a program
// that is told where they are.
bool plainRead(const std::string& path, std::uint64_t offset, std::size_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size]); // not initialised
  const ssize_t got = pread(fd, buffer.get(), size, static_cast<off_t>(offset));
  benchmark::DoNotOptimize(buffer.get());
  close(fd);
  return got == static_cast<ssize_t>(size);
}

// The least a program must do that has to find the profile first: the file's
// size, one read of descriptor and trailer signature together, the profile.
// No checks beyond the length: this is a yardstick, not a reader.
bool locatingRead(const std::string& path, std::size_t size) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  struct stat st {};
  std::uint8_t end[20];
  bool ok = fstat(fd, &st) == 0 && st.st_size >= 528 && pread(fd, end, sizeof end, st.st_size - 528) == 20;
  const std::size_t length = ok ? fileio::readBigEndian<std::uint32_t>(end) : 0;
  ok = ok && length == size;
  if (ok) {
    const std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[size]);
    ok = pread(fd, buffer.get(), size, st.st_size - 528 - static_cast<off_t>(size)) ==
         static_cast<ssize_t>(size);
    benchmark::DoNotOptimize(buffer.get());
  }
  close(fd);
  return ok;
}

bool readerRead(const std::string& path, std::size_t size, std::ostream& log) {
  const ProfileReadResult profile = readProfileFrom(path, log);
  benchmark::DoNotOptimize(profile.second.data());
  return profile.first && profile.second.size() == size;
}

struct Peak {
  long beforeKiB = -1;
  long afterKiB = -1;
};

// One extraction in a process of its own (bench/peak_rss.cpp).
Peak measurePeak(const std::string& path) {
  if (path.find('\'') != std::string::npos) {
    throw std::invalid_argument("image path with a quote");
  }
  const std::string command = std::string("'") + BRACKWELL_PEAK_RSS + "' '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  Peak peak;
  if (pipe == nullptr) {
    return peak;
  }
  int ok = 0;
  unsigned long size = 0;
  if (std::fscanf(pipe, "%d %lu %ld %ld", &ok, &size, &peak.beforeKiB, &peak.afterKiB) != 4 || ok != 1) {
    peak = Peak();
  }
  pclose(pipe);
  return peak;
}

void extraction(benchmark::State& state, std::uint64_t imageSize, std::uint32_t profileSize, Cache cache) {
  // A run of the tool allocates its profile once, in a fresh process, so a
  // large one is fresh memory that has to be faulted in. Here, glibc would
  // raise its mmap threshold after each large free and hand big buffers out
  // of a heap the parsing benchmarks have already grown and faulted in.
  // Fixing the threshold and giving back the heap's free memory makes every
  // buffer from 128 KiB on fresh memory again, for each contender alike.
  static const bool freshBuffers = mallopt(M_MMAP_THRESHOLD, 128 * 1024) == 1 && malloc_trim(0) >= 0;
  benchmark::DoNotOptimize(freshBuffers);
  const std::string& path = images().get(imageSize, profileSize);
  profile_trailer::Location location;
  {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    location = profile_trailer::locate(fd);
    close(fd);
  }
  if (location.status != profile_trailer::Status::ok || location.length != profileSize) {
    state.SkipWithError("image without the expected profile");
    return;
  }
  testsupport::NullStream log;
  if (cache == Cache::warm && !plainRead(path, location.profileOffset, profileSize)) {
    state.SkipWithError("cannot read the image");
    return;
  }

  // Three contenders take turns; the one that starts moves on every
  // iteration, so none always runs first (or right after a cache drop).
  enum Contender { reader, floor, locating, contenders };
  using Clock = std::chrono::steady_clock;
  double seconds[contenders] = {};
  int first = reader;
  for (auto _ : state) {
    double readerNow = 0;
    for (int turn = 0; turn < contenders; ++turn) {
      const int contender = (first + turn) % contenders;
      if (cache == Cache::cold) {
        dropFromPageCache(path);
      }
      const auto start = Clock::now();
      bool ok = false;
      switch (contender) {
      case reader:
        ok = readerRead(path, profileSize, log);
        break;
      case floor:
        ok = plainRead(path, location.profileOffset, profileSize);
        break;
      default:
        ok = locatingRead(path, profileSize);
        break;
      }
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      if (!ok) {
        state.SkipWithError("a read failed");
        return;
      }
      seconds[contender] += elapsed;
      if (contender == reader) {
        readerNow = elapsed;
      }
    }
    state.SetIterationTime(readerNow);
    first = (first + 1) % contenders;
  }

  const auto iterations = static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(profileSize));
  state.counters["image_bytes"] = benchmark::Counter(
      static_cast<double>(imageSize), benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
  state.counters["profile_bytes"] = benchmark::Counter(
      static_cast<double>(profileSize), benchmark::Counter::kDefaults, benchmark::Counter::kIs1024);
  state.counters["floor_time"] = seconds[floor] / iterations;
  state.counters["ratio"] = seconds[reader] / seconds[floor];
  state.counters["locating_time"] = seconds[locating] / iterations;
  state.counters["ratio_locating"] = seconds[reader] / seconds[locating];

  if (cache == Cache::warm) {
    const Peak peak = measurePeak(path);
    if (peak.afterKiB < 0) {
      state.SkipWithError("peak memory not measured");
      return;
    }
    const auto kib = [](long value) {
      return benchmark::Counter(static_cast<double>(value) * KiB, benchmark::Counter::kDefaults,
                                benchmark::Counter::kIs1024);
    };
    state.counters["peak_rss"] = kib(peak.afterKiB);
    state.counters["peak_growth"] = kib(peak.afterKiB - peak.beforeKiB);
    state.counters["peak_limit"] =
        benchmark::Counter(static_cast<double>(profileSize + PEAK_ALLOWANCE), benchmark::Counter::kDefaults,
                           benchmark::Counter::kIs1024);
  }
}

void add(const std::string& name, std::uint64_t imageSize, std::uint32_t profileSize, Cache cache) {
  benchmark::RegisterBenchmark(
      name.c_str(), [=](benchmark::State& state) { extraction(state, imageSize, profileSize, cache); })
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
}

} // namespace

void registerExtraction() {
  // The same 64 KiB profile at the end of ever larger sparse images.
  for (const Cache cache : {Cache::warm, Cache::cold}) {
    for (const std::uint64_t imageSize : {MiB, GiB, 64 * GiB}) {
      add("extract/image_size:" + binarySize(imageSize) + "/" + (cache == Cache::warm ? "warm" : "cold"),
          imageSize, 64 * KiB, cache);
    }
  }
  // Ever larger profiles behind 1 MiB of image data.
  for (std::uint64_t profileSize = 4 * KiB; profileSize <= 256 * MiB; profileSize *= 4) {
    const std::uint64_t imageSize =
        MiB + profileSize + profile_trailer::DESCRIPTOR_SIZE + profile_trailer::TRAILER_SIZE;
    add("extract/profile_size:" + binarySize(profileSize) + "/warm", imageSize,
        static_cast<std::uint32_t>(profileSize), Cache::warm);
  }
}
