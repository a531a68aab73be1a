// How the two size-dependent steps grow: joining N arguments, and building
// the open command from an N-byte path. Both must be linear.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "scheme/registration.h"

namespace {

void joinArgumentsBench(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  std::vector<const char*> argv(n + 1, "a");
  argv[0] = "zarvel-uri";
  for (auto _ : state) {
    benchmark::DoNotOptimize(joinArguments(static_cast<int>(argv.size()), argv.data()));
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(joinArgumentsBench)->RangeMultiplier(4)->Range(1, 1 << 20)->Complexity(benchmark::oN);

void buildOpenCommandBench(benchmark::State& state) {
  const std::string path(static_cast<size_t>(state.range(0)), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(buildOpenCommand(path));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(buildOpenCommandBench)->RangeMultiplier(4)->Range(1, 1 << 20)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
