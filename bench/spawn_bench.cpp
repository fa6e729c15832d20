// Cost of running /bin/true with its output captured, from a small and from a
// large caller, next to posix_spawn + pipe + waitpid written by hand.
//
//   cmake -S . -B build-bench -DQUILL_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target spawn_bench
//   build-bench/bench/spawn_bench --benchmark_repetitions=5
//
// Add --benchmark_enable_random_interleaving=true on a shared machine:
// interleaving the runs keeps the load of other programs from favouring
// whichever benchmark happens to run in a quiet moment.
//
// The argument is the caller's extra memory in MiB, allocated and touched
// before the timing starts. Goal: ReadOutput from 2048 MiB costs at most 1.5
// times ReadOutput from 16 MiB and at most 1.5 times the baseline.
#include <quill/sys/exec_list.h>

#include "bench/ballast.h"
#include "bench/spawn_baseline.h"

#include <benchmark/benchmark.h>

namespace {

using quill::bench::Ballast;
using quill::sys::TExec;

TExec trueCommand() {
  quill::sys::TEArgs args;
  args.Add("/bin/true");
  return TExec(args, TExec::Fork | TExec::Wait);
}

// A preparation of the caller's own, which keeps the full fork.
class Opaque : public TExec::TPrepare {};

void ReadOutputTrue(benchmark::State& state) {
  Ballast ballast(static_cast<std::size_t>(state.range(0)));
  if (!ballast.ok()) return state.SkipWithError("no memory for the ballast");
  const TExec cmd = trueCommand();
  for (auto _ : state) benchmark::DoNotOptimize(quill::sys::ReadOutput(cmd));
}

void ReadOutputTrueFullFork(benchmark::State& state) {
  Ballast ballast(static_cast<std::size_t>(state.range(0)));
  if (!ballast.ok()) return state.SkipWithError("no memory for the ballast");
  const TExec cmd = trueCommand().WithPrep(quill::TSharedPtr<TExec::TPrepare>(new Opaque));
  for (auto _ : state) benchmark::DoNotOptimize(quill::sys::ReadOutput(cmd));
}

void PosixSpawnBaseline(benchmark::State& state) {
  Ballast ballast(static_cast<std::size_t>(state.range(0)));
  if (!ballast.ok()) return state.SkipWithError("no memory for the ballast");
  for (auto _ : state) {
    if (!quill::bench::spawnTrue()) return state.SkipWithError("posix_spawn failed");
  }
}

void sizes(benchmark::internal::Benchmark* b) {
  b->Arg(16)->Arg(2048)->Unit(benchmark::kMicrosecond)->UseRealTime();
  b->ReportAggregatesOnly(true);
}

BENCHMARK(ReadOutputTrue)->Apply(sizes);
BENCHMARK(PosixSpawnBaseline)->Apply(sizes);
BENCHMARK(ReadOutputTrueFullFork)->Apply(sizes);

}  // namespace

BENCHMARK_MAIN();
