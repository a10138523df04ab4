// The benchmark program: scripts/bench.sh runs it and BENCHMARKS.md reads its
// figures.
#include <benchmark/benchmark.h>

#include "registry.h"

int main(int argc, char* argv[]) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  benchmark::AddCustomContext("console output", "std::cout points at a null buffer while parsing");
  benchmark::AddCustomContext("page cache", "warm unless the name says cold, the same for reader and floor");
  benchmark::AddCustomContext(
      "ratio",
      "reader time / plain pread time (ratio_locating: / a read that finds the profile), taken in turns");
  registerParsing();
  registerExtraction();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
