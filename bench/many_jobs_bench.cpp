// A thousand jobs at once from one thread, next to Python's asyncio doing
// the same (bench/python_asyncio.py, which the benchmark starts once per
// repetition).
//
//   cmake -S . -B build-bench -DQUILL_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench --target many_jobs_bench
//   build-bench/bench/many_jobs_bench --benchmark_repetitions=5
//
// Add --benchmark_enable_random_interleaving=true on a shared machine, as
// bench/run does: the load of other programs then falls on both sides alike.
//
// Both sides raise the descriptor limit to its hard limit first (a running
// job holds about six descriptors), and run one job to its end before
// anything is timed or measured. Python: create_subprocess_exec with both
// streams piped and communicate(), all gathered by one asyncio.gather.
//
// Goals, each against a baseline of the same run:
// - ManyTrue (Start of 1,000 /bin/true, both streams captured, then
//   WaitAny until every one is done, each waited for as it is returned)
//   takes at most half the wall time of AsyncioManyTrue;
// - ManySleepEcho, the same with `sh -c 'sleep 1; echo hi'` and every
//   output checked to be "hi\n", takes at most 1.3 s (AsyncioManySleepEcho
//   is reported beside it);
// - LiveJobsPeakRss: 1,000 jobs started and all still running (`sleep 60`),
//   then ended by destroying them, add at most 16 MiB to the peak resident
//   size (VmHWM) of a process of their own; counter added_kib, with
//   AsyncioLiveJobsPeakRss's the same for asyncio.
// SpawnManyTrue and SpawnManySleepEcho start the same programs with bare
// posix_spawn (no pipes, nothing read) and wait for them: the least it
// takes the machine to run them, whoever starts them (reported). Every
// wall-time item has counters caller_cpu_s and children_cpu_s: where the
// CPU went.
#include <quill/sys/execute.h>

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using quill::sys::TEArgs;
using quill::sys::TExec;
using quill::sys::TExecList;
using quill::sys::TJob;
using quill::sys::TOutcome;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kJobs = 1000;

TExecList command(std::initializer_list<const char*> words) {
  TEArgs args;
  for (const char* word : words) args.Add(word);
  return TExecList(TExec(args, TExec::Fork | TExec::Wait));
}

bool raiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  limit.rlim_cur = limit.rlim_max;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// A field of /proc/self/status in KiB (VmRSS, VmHWM); -1 when absent.
long statusKib(const char* field) {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long value = -1;
  const std::size_t length = std::strlen(field);
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
      value = std::strtol(line + length + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(status);
  return value;
}

// Starts kJobs runs of `list`, then takes each outcome as WaitAny returns
// it; false (with `why`) when a job could not be had or an outcome is not
// what `expected` says.
bool startAndWaitAll(const TExecList& list, const std::string& expectedOut, std::string& why) {
  std::vector<TJob> jobs;
  jobs.reserve(kJobs);
  for (std::size_t i = 0; i < kJobs; ++i) jobs.push_back(quill::sys::Start(list));
  for (std::size_t left = kJobs; left > 0; --left) {
    const std::size_t i = quill::sys::WaitAny(jobs, std::chrono::milliseconds(-1));
    if (i == jobs.size()) {
      why = "WaitAny found no job left";
      return false;
    }
    const TOutcome outcome = jobs[i].Wait();
    if (!outcome.Ok() || outcome.out != expectedOut || !outcome.err.empty()) {
      why = "unexpected outcome: " + outcome.Describe() + ", out \"" + outcome.out + "\"";
      return false;
    }
  }
  return true;
}

// CPU seconds (user and system) that getrusage reports for `who`.
double cpuSeconds(int who) {
  struct rusage usage;
  getrusage(who, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Times one start-and-wait of kJobs per iteration, after one job run to its
// end untimed. The counters say where the CPU went: the caller's and its
// children's (the commands') CPU seconds.
void manyJobs(benchmark::State& state, const TExecList& list, const std::string& expectedOut) {
  if (!raiseDescriptorLimit()) return state.SkipWithError("cannot raise the descriptor limit");
  if (!quill::sys::Start(list).Wait().Ok()) return state.SkipWithError("the command failed");
  for (auto _ : state) {
    std::string why;
    const double caller = cpuSeconds(RUSAGE_SELF), children = cpuSeconds(RUSAGE_CHILDREN);
    const Clock::time_point start = Clock::now();
    const bool ok = startAndWaitAll(list, expectedOut, why);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (!ok) return state.SkipWithError(why.c_str());
    state.counters["caller_cpu_s"] = cpuSeconds(RUSAGE_SELF) - caller;
    state.counters["children_cpu_s"] = cpuSeconds(RUSAGE_CHILDREN) - children;
  }
}

void ManyTrue(benchmark::State& state) {
  manyJobs(state, command({"/bin/true"}), "");
}

void ManySleepEcho(benchmark::State& state) {
  manyJobs(state, command({"/bin/sh", "-c", "sleep 1; echo hi"}), "hi\n");
}

// The least that starting and waiting for kJobs programs at once costs on
// the machine, whoever does it: posix_spawn of each (no pipes, nothing
// read), then waitpid of each. False when one fails.
bool spawnAndWaitAll(char* const argv[]) {
  std::vector<pid_t> pids(kJobs, -1);
  bool ok = true;
  for (pid_t& pid : pids) ok &= posix_spawn(&pid, argv[0], nullptr, nullptr, argv, environ) == 0;
  for (const pid_t pid : pids) {
    int status = 0;
    ok &=
        pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return ok;
}

void spawnFloor(benchmark::State& state, char* const argv[]) {
  for (auto _ : state) {
    const double caller = cpuSeconds(RUSAGE_SELF), children = cpuSeconds(RUSAGE_CHILDREN);
    const Clock::time_point start = Clock::now();
    const bool ok = spawnAndWaitAll(argv);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    if (!ok) return state.SkipWithError("a program failed");
    state.counters["caller_cpu_s"] = cpuSeconds(RUSAGE_SELF) - caller;
    state.counters["children_cpu_s"] = cpuSeconds(RUSAGE_CHILDREN) - children;
  }
}

void SpawnManyTrue(benchmark::State& state) {
  char program[] = "/bin/true";
  char* argv[] = {program, nullptr};
  spawnFloor(state, argv);
}

void SpawnManySleepEcho(benchmark::State& state) {
  char sh[] = "/bin/sh", c[] = "-c", script[] = "sleep 1; echo hi >/dev/null";
  char* argv[] = {sh, c, script, nullptr};
  spawnFloor(state, argv);
}

// bench/python_asyncio.py: QUILL_BENCH_PYTHON_ASYNCIO, else beside this
// source; run by QUILL_BENCH_PYTHON (python3 unless told).
std::string pythonLine(const std::string& arguments) {
  std::string script;
  if (const char* path = std::getenv("QUILL_BENCH_PYTHON_ASYNCIO")) {
    script = path;
  } else {
    script = __FILE__;
    script = script.substr(0, script.rfind('/') + 1) + "python_asyncio.py";
  }
  const char* python = std::getenv("QUILL_BENCH_PYTHON");
  if (access(script.c_str(), R_OK) != 0) return "";
  return std::string(python != nullptr ? python : "python3") + " '" + script + "' " + arguments;
}

// The number after "key": in the JSON line `text`; false when absent.
bool jsonNumber(const std::string& text, const char* key, double& value) {
  const std::string quoted = std::string("\"") + key + "\":";
  const std::size_t at = text.find(quoted);
  if (at == std::string::npos) return false;
  value = std::strtod(text.c_str() + at + quoted.size(), nullptr);
  return true;
}

// The first line `command` prints, or "" when it fails.
std::string reportOf(const std::string& command) {
  FILE* report = popen(command.c_str(), "r");
  if (report == nullptr) return "";
  char text[1024] = {};
  const std::size_t got = std::fread(text, 1, sizeof text - 1, report);
  text[got] = '\0';
  return pclose(report) == 0 ? std::string(text) : std::string();
}

// One iteration is one run of the script for `item`, whose own figure is
// the iteration's time.
void asyncioWall(benchmark::State& state, const char* item) {
  const std::string line = pythonLine(std::string(item) + " --jobs " + std::to_string(kJobs));
  if (line.empty()) return state.SkipWithError("no bench/python_asyncio.py");
  for (auto _ : state) {
    const std::string report = reportOf(line);
    double wall = 0, caller = 0, children = 0;
    if (!jsonNumber(report, "wall_seconds", wall) ||
        !jsonNumber(report, "caller_cpu_seconds", caller) ||
        !jsonNumber(report, "children_cpu_seconds", children))
      return state.SkipWithError("python_asyncio.py failed");
    state.SetIterationTime(wall);
    state.counters["caller_cpu_s"] = caller;
    state.counters["children_cpu_s"] = children;
  }
}

void AsyncioManyTrue(benchmark::State& state) {
  asyncioWall(state, "true");
}

void AsyncioManySleepEcho(benchmark::State& state) {
  asyncioWall(state, "sleep-echo");
}

// In a process of its own (this program, started again with
// --live-jobs-peak-rss): kJobs jobs of `sleep 60` started one after the
// other, all alive at once, then ended by destroying them. Prints the peak
// resident size before and after, and the resident size while they live,
// as JSON; exits with 1 when something fails.
int liveJobsPeakRss() {
  if (!raiseDescriptorLimit()) return std::fprintf(stderr, "cannot raise the limit\n"), 1;
  if (!quill::sys::Start(command({"/bin/true"})).Wait().Ok())
    return std::fprintf(stderr, "/bin/true failed\n"), 1;
  const TExecList sleep = command({"/bin/sleep", "60"});
  std::vector<TJob> jobs;
  jobs.reserve(kJobs);
  const long before = statusKib("VmHWM");
  for (std::size_t i = 0; i < kJobs; ++i) jobs.push_back(quill::sys::Start(sleep));
  const long started = statusKib("VmRSS");
  // Driven once each, as a loop of the caller's would when their
  // descriptors first turn readable (every child has exec'd by then).
  for (TJob& job : jobs) {
    if (job.Done()) return std::fprintf(stderr, "a sleep ended early\n"), 1;
  }
  const long live = statusKib("VmRSS");
  jobs.clear();
  const long after = statusKib("VmHWM");
  // The kernel's counts are per CPU and read without adding up the last
  // few pages: the peak is taken as the largest of the readings.
  const long peak = std::max({after, started, live});
  std::printf(
      "{\"before_hwm_kib\": %ld, \"started_rss_kib\": %ld, \"live_rss_kib\": %ld, "
      "\"after_hwm_kib\": %ld, \"added_kib\": %ld}\n",
      before, started, live, after, peak - before);
  return 0;
}

// One iteration is one run of that process; its figures become counters.
void peakRss(benchmark::State& state, const std::string& line) {
  for (auto _ : state) {
    const std::string report = reportOf(line);
    double added = 0, live = 0;
    if (!jsonNumber(report, "added_kib", added) || !jsonNumber(report, "live_rss_kib", live))
      return state.SkipWithError(("no figure from " + line).c_str());
    state.SetIterationTime(1);
    state.counters["added_kib"] = added;
    state.counters["live_rss_kib"] = live;
  }
}

void LiveJobsPeakRss(benchmark::State& state) {
  // The shell that popen starts has a /proc/self of its own.
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return state.SkipWithError("cannot find this program");
  self[length] = '\0';
  peakRss(state, "'" + std::string(self) + "' --live-jobs-peak-rss");
}

void AsyncioLiveJobsPeakRss(benchmark::State& state) {
  const std::string line = pythonLine("live --jobs " + std::to_string(kJobs));
  if (line.empty()) return state.SkipWithError("no bench/python_asyncio.py");
  peakRss(state, line);
}

void once(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1)->ReportAggregatesOnly(true);
}

BENCHMARK(ManyTrue)->Apply(once);
BENCHMARK(AsyncioManyTrue)->Apply(once);
BENCHMARK(SpawnManyTrue)->Apply(once);
BENCHMARK(ManySleepEcho)->Apply(once);
BENCHMARK(AsyncioManySleepEcho)->Apply(once);
BENCHMARK(SpawnManySleepEcho)->Apply(once);
BENCHMARK(LiveJobsPeakRss)->Apply(once);
BENCHMARK(AsyncioLiveJobsPeakRss)->Apply(once);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--live-jobs-peak-rss") == 0) return liveJobsPeakRss();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
