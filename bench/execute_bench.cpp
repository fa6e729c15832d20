// Execute as a daemon uses it (a deadline, both streams captured), next to
// what its users would write instead.
//
//   cmake -S . -B build-bench -DQUILL_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target execute_bench
//   build-bench/bench/execute_bench --benchmark_repetitions=5
//
// Add --benchmark_enable_random_interleaving=true on a shared machine, as
// bench/run does: the load of other programs then falls on every side alike.
//
// Goals, each against a baseline of the same run:
// - ExecuteTrue/2048 (/bin/true with a 5 s timeout and both streams
//   captured, from a caller of 2 GiB) costs at most 1.5 times
//   PosixSpawnBaseline/2048 and at most PythonSubprocessRun/2048:
//   subprocess.run(["/bin/true"], capture_output=True, timeout=5) from a
//   Python process of 2 GiB (bench/python_run.py, whose median of 200 calls
//   is the manual time of one iteration);
// - ExecuteEverySetting/2048, the same with every child setting, costs at
//   most 1.5 times PosixSpawnBaseline/2048;
// - ExecuteBothStreams, which keeps 256 MiB of standard output and 256 MiB
//   of standard error written at once, reaches at least 0.8 of the bytes per
//   second of PlainPollLoop, which reads the same two pipes with poll into a
//   buffer and keeps nothing;
// - ExecuteTrueThreads scales from 1 to 4 threads at least 0.9 times as
//   well as PosixSpawnThreads, the same with posix_spawn, does in the same
//   run: (Execute's rate with 4 threads / with 1) / (posix_spawn's rate
//   with 4 threads / with 1) >= 0.9, where a rate is items_per_second, the
//   runs of all threads together. posix_spawn's scaling is how far
//   starting programs scales on the machine at all;
// - JobPollLoop/2048, the same run as ExecuteTrue/2048 started with Start
//   and driven by a poll loop of the caller's on TJob::Fd() (Done() each
//   time it is readable), costs at most 1.2 times ExecuteTrue/2048;
// - TimeoutOvershoot: Execute of `sleep 10` with a 100 ms timeout returns at
//   most 20 ms after the deadline (the median of 50 runs, counter
//   overshoot_ms; its one repetition is not repeated);
// - ExecuteInCgroup/2048, ExecuteTrue/2048 in a fresh leaf cgroup of its own
//   with a memory and a process limit, costs at most 1.3 times
//   ExecuteTrue/2048. It needs root and a cgroup v2 hierarchy; where that
//   lacks the memory or the pids controller, the leaf has no limits and the
//   label says so.
#include <quill/sys/execute.h>

#include "bench/ballast.h"
#include "bench/spawn_baseline.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using quill::bench::Ballast;
using quill::sys::TEArgs;
using quill::sys::TExec;
using quill::sys::TExecList;
using quill::sys::TJob;
using quill::sys::TOutcome;
using quill::sys::TRunOptions;
using Clock = std::chrono::steady_clock;

TExec command(std::initializer_list<const char*> words) {
  TEArgs args;
  for (const char* word : words) args.Add(word);
  return TExec(args, TExec::Fork | TExec::Wait);
}

// The options of a daemon's run: a deadline and both streams kept (the
// defaults capture standard error and kill the command's process group).
TRunOptions daemonOptions(std::chrono::milliseconds timeout) {
  TRunOptions options;
  options.timeout = timeout;
  return options;
}

void ExecuteTrue(benchmark::State& state) {
  Ballast ballast(static_cast<std::size_t>(state.range(0)));
  if (!ballast.ok()) return state.SkipWithError("no memory for the ballast");
  const TExec cmd = command({"/bin/true"});
  const TRunOptions options = daemonOptions(std::chrono::seconds(5));
  for (auto _ : state) {
    if (!quill::sys::Execute(cmd, options).Ok()) return state.SkipWithError("/bin/true failed");
  }
}

// The same run driven by a loop of the caller's, as an event loop would
// drive it: poll on the job's descriptor, Done() whenever it is readable.
void JobPollLoop(benchmark::State& state) {
  Ballast ballast(static_cast<std::size_t>(state.range(0)));
  if (!ballast.ok()) return state.SkipWithError("no memory for the ballast");
  const TExecList list(command({"/bin/true"}));
  const TRunOptions options = daemonOptions(std::chrono::seconds(5));
  for (auto _ : state) {
    TJob job = quill::sys::Start(list, options);
    pollfd ready = {job.Fd(), POLLIN, 0};
    for (;;) {
      if (poll(&ready, 1, -1) == -1 && errno != EINTR) return state.SkipWithError("poll failed");
      if (job.Done()) break;
    }
    if (!job.Wait().Ok()) return state.SkipWithError("/bin/true failed");
  }
}

// /bin/true with every setting a command can carry. As root the identity
// really changes (to nobody); otherwise it is the caller's own, which still
// makes the child set its groups and ids.
void ExecuteEverySetting(benchmark::State& state) {
  Ballast ballast(static_cast<std::size_t>(state.range(0)));
  if (!ballast.ok()) return state.SkipWithError("no memory for the ballast");
  struct rlimit core;
  getrlimit(RLIMIT_CORE, &core);
  const bool root = geteuid() == 0;
  const uid_t uid = root ? 65534 : getuid();
  const gid_t gid = root ? 65534 : getgid();
  const TExec cmd = command({"/bin/true"})
                        .WithEnv("QUILL_BENCH", "1")
                        .InDirectory("/")
                        .WithUmask(027)
                        .AsUser(uid, gid, {})
                        .WithLimit(RLIMIT_CORE, 0, core.rlim_max)
                        .InNewSession()
                        .WithParentDeathSignal(SIGKILL);
  const TRunOptions options = daemonOptions(std::chrono::seconds(5));
  for (auto _ : state) {
    const TOutcome outcome = quill::sys::Execute(cmd, options);
    if (!outcome.Ok()) return state.SkipWithError(outcome.Describe().c_str());
  }
}

// Where the cgroup v2 hierarchy is mounted (/sys/fs/cgroup on Debian 12),
// from /proc/self/mountinfo; "" when it is not.
std::string cgroupMount() {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    const std::size_t separator = line.find(" - cgroup2 ");
    if (separator == std::string::npos) continue;
    std::istringstream fields(line.substr(0, separator));
    std::string id, parent, device, root, mountPoint;
    if (fields >> id >> parent >> device >> root >> mountPoint) return mountPoint;
  }
  return "";
}

// A cgroup made for the benchmark under the v2 mount, removed after it;
// `error` says why there is none.
struct BenchCgroup {
  BenchCgroup() {
    const std::string mount = cgroupMount();
    if (geteuid() != 0) {
      error = "needs root to make a cgroup";
    } else if (mount.empty()) {
      error = "no cgroup v2 hierarchy is mounted";
    } else if (path = mount + "/quill-bench-" + std::to_string(getpid());
               mkdir(path.c_str(), 0755) != 0) {
      error = "cannot make " + path + ": " + std::strerror(errno);
      path.clear();
    }
  }
  ~BenchCgroup() {
    if (!path.empty()) rmdir(path.c_str());
  }
  std::string path;
  std::string error;
};

void ExecuteInCgroup(benchmark::State& state) {
  Ballast ballast(static_cast<std::size_t>(state.range(0)));
  if (!ballast.ok()) return state.SkipWithError("no memory for the ballast");
  const BenchCgroup cgroup;
  if (!cgroup.error.empty()) return state.SkipWithError(cgroup.error.c_str());
  const TExec cmd = command({"/bin/true"});
  TRunOptions options = daemonOptions(std::chrono::seconds(5));
  options.cgroup = cgroup.path;
  options.limits.memoryMax = std::uint64_t{512} << 20;
  options.limits.pidsMax = 64;
  try {
    quill::sys::Execute(cmd, options);
  } catch (const std::runtime_error& refused) {
    if (std::strstr(refused.what(), "controller is not available") == nullptr)
      return state.SkipWithError(refused.what());
    options.limits = quill::sys::TCgroupLimits();
    state.SetLabel("a leaf without limits: no memory or pids controller in cgroup v2 here");
  }
  for (auto _ : state) {
    if (!quill::sys::Execute(cmd, options).Ok()) return state.SkipWithError("/bin/true failed");
  }
}

void PosixSpawnBaseline(benchmark::State& state) {
  Ballast ballast(static_cast<std::size_t>(state.range(0)));
  if (!ballast.ok()) return state.SkipWithError("no memory for the ballast");
  for (auto _ : state) {
    if (!quill::bench::spawnTrue()) return state.SkipWithError("posix_spawn failed");
  }
}

// bench/python_run.py: QUILL_BENCH_PYTHON_RUN, else beside this source;
// run by QUILL_BENCH_PYTHON (python3 unless told).
std::string pythonScript() {
  if (const char* path = std::getenv("QUILL_BENCH_PYTHON_RUN")) return path;
  std::string path = __FILE__;
  return path.substr(0, path.rfind('/') + 1) + "python_run.py";
}

// One iteration is one run of the script (which allocates its own ballast
// and times 200 calls); its median is the iteration's time.
void PythonSubprocessRun(benchmark::State& state) {
  const std::string script = pythonScript();
  if (access(script.c_str(), R_OK) != 0) return state.SkipWithError("no bench/python_run.py");
  const char* python = std::getenv("QUILL_BENCH_PYTHON");
  const std::string line = std::string(python != nullptr ? python : "python3") + " '" + script +
                           "' --ballast-mib " + std::to_string(state.range(0)) + " --runs 200";
  for (auto _ : state) {
    FILE* report = popen(line.c_str(), "r");
    if (report == nullptr) return state.SkipWithError("cannot start python3");
    char text[512] = {};
    const std::size_t got = fread(text, 1, sizeof text - 1, report);
    text[got] = '\0';
    const int status = pclose(report);
    const char* median = std::strstr(text, "\"median_seconds\":");
    if (status != 0 || median == nullptr) return state.SkipWithError("python_run.py failed");
    state.SetIterationTime(std::strtod(median + std::strlen("\"median_seconds\":"), nullptr));
  }
}

constexpr std::int64_t kStreamBytes = 256 << 20;

const char* const kBothStreams = "head -c 256M /dev/zero & head -c 256M /dev/zero >&2; wait";

void ExecuteBothStreams(benchmark::State& state) {
  const TExec cmd = command({"/bin/sh", "-c", kBothStreams});
  const TRunOptions options = daemonOptions(std::chrono::seconds(60));
  const auto capture = [&] {
    const TOutcome outcome = quill::sys::Execute(cmd, options);
    return outcome.Ok() && static_cast<std::int64_t>(outcome.out.size()) == kStreamBytes &&
           static_cast<std::int64_t>(outcome.err.size()) == kStreamBytes;
  };
  // Untimed: the first run after a pause pays for memory the host took back
  // (bench/capture_bench.cpp says more).
  capture();
  for (auto _ : state) {
    if (!capture()) return state.SkipWithError("short output or failed run");
  }
  state.SetBytesProcessed(state.iterations() * 2 * kStreamBytes);
}

// The bytes the program wrote on both pipes, read with poll in 64 KiB reads
// and kept nowhere; -1 when it could not be started.
std::int64_t pollBothStreams() {
  static char buffer[64 * 1024];
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return -1;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  char sh[] = "/bin/sh", c[] = "-c";
  std::string script = kBothStreams;
  char* argv[] = {sh, c, script.data(), nullptr};
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, sh, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  std::int64_t total = 0;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  while (failed == 0 && (fds[0].fd != -1 || fds[1].fd != -1)) {
    if (poll(fds, 2, -1) == -1) continue;
    for (pollfd& fd : fds) {
      if (fd.fd == -1 || fd.revents == 0) continue;
      const ssize_t got = read(fd.fd, buffer, sizeof buffer);
      if (got > 0) {
        total += got;
      } else if (got == 0 || errno != EINTR) {
        close(fd.fd);
        fd.fd = -1;
      }
    }
  }
  close(out[0]);
  close(err[0]);
  if (failed != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return total;
}

void PlainPollLoop(benchmark::State& state) {
  pollBothStreams();
  for (auto _ : state) {
    if (pollBothStreams() != 2 * kStreamBytes) state.SkipWithError("short output");
  }
  state.SetBytesProcessed(state.iterations() * 2 * kStreamBytes);
}

// Every thread runs its own command (a command's copies stay on one
// thread); items_per_second sums the runs of all threads.
void ExecuteTrueThreads(benchmark::State& state) {
  const TExec cmd = command({"/bin/true"});
  const TRunOptions options = daemonOptions(std::chrono::seconds(5));
  for (auto _ : state) {
    if (!quill::sys::Execute(cmd, options).Ok()) return state.SkipWithError("/bin/true failed");
  }
  state.SetItemsProcessed(state.iterations());
}

// The same with posix_spawn: how far starting programs scales on the
// machine at all, whoever starts them.
void PosixSpawnThreads(benchmark::State& state) {
  for (auto _ : state) {
    if (!quill::bench::spawnTrue()) return state.SkipWithError("posix_spawn failed");
  }
  state.SetItemsProcessed(state.iterations());
}

void TimeoutOvershoot(benchmark::State& state) {
  constexpr int kRuns = 50;
  constexpr auto kTimeout = std::chrono::milliseconds(100);
  const TExec cmd = command({"/bin/sleep", "10"});
  const TRunOptions options = daemonOptions(kTimeout);
  for (auto _ : state) {
    std::vector<double> returns;
    for (int run = 0; run < kRuns; ++run) {
      const Clock::time_point start = Clock::now();
      const TOutcome outcome = quill::sys::Execute(cmd, options);
      returns.push_back(std::chrono::duration<double>(Clock::now() - start).count());
      if (!outcome.timedOut || outcome.stages.at(0).signal != SIGTERM)
        return state.SkipWithError(("not ended by the deadline: " + outcome.Describe()).c_str());
    }
    std::sort(returns.begin(), returns.end());
    const double median = (returns[kRuns / 2 - 1] + returns[kRuns / 2]) / 2;
    state.SetIterationTime(median);
    state.counters["overshoot_ms"] =
        (median - std::chrono::duration<double>(kTimeout).count()) * 1e3;
    state.counters["worst_overshoot_ms"] =
        (returns.back() - std::chrono::duration<double>(kTimeout).count()) * 1e3;
  }
}

void from2GiB(benchmark::internal::Benchmark* b) {
  b->Arg(2048)->Unit(benchmark::kMicrosecond)->ReportAggregatesOnly(true);
}

BENCHMARK(ExecuteTrue)->Apply(from2GiB)->UseRealTime();
BENCHMARK(JobPollLoop)->Apply(from2GiB)->UseRealTime();
BENCHMARK(ExecuteEverySetting)->Apply(from2GiB)->UseRealTime();
BENCHMARK(ExecuteInCgroup)->Apply(from2GiB)->UseRealTime();
BENCHMARK(PosixSpawnBaseline)->Apply(from2GiB)->UseRealTime();
BENCHMARK(PythonSubprocessRun)->Apply(from2GiB)->UseManualTime()->Iterations(1);
BENCHMARK(ExecuteBothStreams)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->ReportAggregatesOnly(true);
BENCHMARK(PlainPollLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->ReportAggregatesOnly(true);
BENCHMARK(ExecuteTrueThreads)
    ->Threads(1)
    ->Threads(4)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->ReportAggregatesOnly(true);
BENCHMARK(PosixSpawnThreads)
    ->Threads(1)
    ->Threads(4)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->ReportAggregatesOnly(true);
BENCHMARK(TimeoutOvershoot)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(1);

}  // namespace

BENCHMARK_MAIN();
