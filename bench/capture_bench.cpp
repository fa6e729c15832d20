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
#include <quill/sys/exec_list.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

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
  for (auto _ : state) {
    const std::string out = quill::sys::ReadOutput(head);
    if (static_cast<std::int64_t>(out.size()) != kBytes) state.SkipWithError("short output");
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

void PlainReadLoop(benchmark::State& state) {
  char program[] = "head", c[] = "-c", size[] = "256M", zero[] = "/dev/zero";
  char* argv[] = {program, c, size, zero, nullptr};
  static char buffer[64 * 1024];
  for (auto _ : state) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return state.SkipWithError("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    pid_t pid = 0;
    const int failed = posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (failed != 0) return state.SkipWithError("posix_spawn failed");
    std::int64_t total = 0;
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0) total += got;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (total != kBytes) state.SkipWithError("short output");
  }
  state.SetBytesProcessed(state.iterations() * kBytes);
}

BENCHMARK(ReadOutputHead)->Unit(benchmark::kMillisecond)->UseRealTime()->ReportAggregatesOnly(true);
BENCHMARK(PlainReadLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
