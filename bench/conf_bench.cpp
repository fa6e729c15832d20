// Loading configuration files of growing size through the store's parser:
// the time per definition must stay flat as the file grows. BM_WcLines times
// `wc -l` on the largest file, the least that reading its lines can cost, as
// the load's baseline in the same run (real time: the work is the child's).

#include <quill/conf/detail/conf_reader.h>
#include <quill/conf/detail/conf_store.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

namespace {

// A file of `count` distinct definitions, each redefined once every hundred
// lines, shaped like the panel's own (long upper-case names, path values).
std::string writeConfFile(int64_t count) {
  const std::string path = "/tmp/quill-conf-bench-" + std::to_string(count) + ".conf";
  std::ofstream out(path, std::ios::trunc);
  for (int64_t i = 0; i < count; ++i) {
    out << "QUILL_BENCH_VARIABLE_" << i << "_D /var/lib/quill/bench/" << i << "\n";
    if (i % 100 == 99) out << "QUILL_BENCH_VARIABLE_" << i / 2 << "_D  /redefined  # again\n";
  }
  return path;
}

void BM_LoadConfFile(benchmark::State& state) {
  const int64_t count = state.range(0);
  const std::string path = writeConfFile(count);
  for (auto _ : state) {
    quill::detail::ConfStore store;
    if (quill::detail::conf_store_read_file(path.c_str(), &store) != 0 ||
        store.count != static_cast<uint64_t>(count)) {
      state.SkipWithError("the file did not load whole");
      break;
    }
    benchmark::DoNotOptimize(store.entries);
  }
  state.SetItemsProcessed(state.iterations() * count);
  unlink(path.c_str());
}
BENCHMARK(BM_LoadConfFile)->Arg(10000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_WcLines(benchmark::State& state) {
  const std::string path = writeConfFile(1000000);
  char* const argv[] = {const_cast<char*>("wc"), const_cast<char*>("-l"),
                        const_cast<char*>(path.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  for (auto _ : state) {
    pid_t child;
    int status = 0;
    if (posix_spawnp(&child, "wc", &actions, nullptr, argv, environ) != 0 ||
        waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("wc -l did not run");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  unlink(path.c_str());
}
BENCHMARK(BM_WcLines)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
