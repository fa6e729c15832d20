// Throughput of capturing a program's output: ReadOutput of
// `head -c 256M /dev/zero` next to a plain 64 KiB read loop over the same
// program's pipe. Goal: ReadOutput reaches at least 0.8 of the loop's bytes
// per second.
//
//   cmake -S . -B build-bench -DQUILL_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target capture_bench
//   build-bench/bench/capture_bench --benchmark_repetitions=5
//
// Add --benchmark_enable_random_interleaving=true on a shared machine:
// interleaving the runs keeps the load of other programs from favouring
// whichever benchmark happens to run in a quiet moment.
//
// Each repetition starts with one untimed run. ReadOutput keeps 256 MiB, and
// on a virtual machine whose host takes back memory the guest has left free
// for a second or two, the first run after a pause pays for the host's
// faults as well (several times the cost of the capture itself); the
// repetitions measure the capture with the memory it freed a moment ago, as
// a program capturing one output after another would.
#include <quill/sys/exec_list.h>

#include "bench/spawn_baseline.h"

#include <benchmark/benchmark.h>

#include <cstdint>

namespace {

constexpr std::int64_t kBytes = 256 << 20;

void ReadOutputHead(benchmark::State& state) {
  quill::sys::TEArgs args;
  args.Add("head");
  args.Add("-c");
  args.Add("256M");
  args.Add("/dev/zero");
  const quill::sys::TExec head(
      args, quill::sys::TExec::Fork | quill::sys::TExec::Wait | quill::sys::TExec::SearchPath);
  const auto capture = [&head] { return quill::sys::ReadOutput(head).size(); };
  capture();
  for (auto _ : state) {
    if (static_cast<std::int64_t>(capture()) != kBytes) state.SkipWithError("short output");
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

// The bytes `head -c 256M /dev/zero` wrote, read in 64 KiB reads and kept
// nowhere; -1 when it could not be started.
std::int64_t readLoop() {
  char program[] = "head", c[] = "-c", size[] = "256M", zero[] = "/dev/zero";
  char* argv[] = {program, c, size, zero, nullptr};
  static char buffer[64 * 1024];
  return quill::bench::spawnAndReadAll(argv, buffer, sizeof buffer);
}

void PlainReadLoop(benchmark::State& state) {
  readLoop();
  for (auto _ : state) {
    if (readLoop() != kBytes) state.SkipWithError("short output");
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

BENCHMARK(ReadOutputHead)->Unit(benchmark::kMillisecond)->UseRealTime()->ReportAggregatesOnly(true);
BENCHMARK(PlainReadLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
