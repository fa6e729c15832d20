// writeByteArrayHeader against `xxd -i`, the tool people reach for to turn a
// blob into C source, on the same 64 MiB of random bytes in one run.
//
// BM_XxdInclude runs first and times whole runs of `xxd -i blob` with the
// output going to /dev/null; BM_WriteByteArrayHeader then writes the header
// of the same blob into /dev/null and reports, beside its own bytes per
// second, the median xxd figure and the ratio of the two (goal: 10 or more).
// Before timing anything the writer's output is checked against a
// one-printf-per-byte rendering of the layout.

#include <quill/util/byte_array_header.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr size_t kBlobSize = size_t{64} << 20;

const std::vector<uint8_t>& blob() {
  static const std::vector<uint8_t> bytes = [] {
    std::vector<uint8_t> random(kBlobSize);
    std::mt19937_64 engine(20261208);
    for (size_t i = 0; i < random.size(); i += 8) {
      const uint64_t value = engine();
      std::copy_n(reinterpret_cast<const uint8_t*>(&value), 8, random.begin() + i);
    }
    return random;
  }();
  return bytes;
}

// The blob as a file for xxd; removed when the program ends.
const std::string& blobFile() {
  static const struct BlobFile {
    std::string path;
    BlobFile() {
      char pattern[] = "/tmp/quill-header-bench.XXXXXX";
      const int fd = mkstemp(pattern);
      if (fd < 0) std::abort();
      close(fd);
      path = pattern;
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(blob().data()), blob().size());
    }
    ~BlobFile() { unlink(path.c_str()); }
  } file;
  return file.path;
}

// The layout written the plain way, one printf per byte.
std::string printfHeader(const char* prefix, const uint8_t* bytes, size_t n) {
  std::string text = std::string("#define ") + prefix + "_LEN " + std::to_string(n) + "\n";
  char item[8];
  for (size_t i = 0; i < n; ++i) {
    if (i == 0)
      text += std::string("#define ") + prefix + "_DATA ";
    else if (i % 8 == 0)
      text += "\t\t\t";
    snprintf(item, sizeof item, "0x%02x", bytes[i]);
    text += item;
    if (i + 1 < n) text += ", ";
    text += i + 1 == n ? "\n" : i % 8 == 7 ? "\\\n" : "";
  }
  return text;
}

std::vector<double> xxdSeconds;

double medianXxdBytesPerSecond() {
  if (xxdSeconds.empty()) return 0;
  std::vector<double> sorted = xxdSeconds;
  std::sort(sorted.begin(), sorted.end());
  return static_cast<double>(kBlobSize) / sorted[sorted.size() / 2];
}

// One run of `xxd -i <blob>` into /dev/null, in seconds of wall time.
double timeXxd() {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  char xxd[] = "xxd";
  char include[] = "-i";
  std::string path = blobFile();
  char* argv[] = {xxd, include, path.data(), nullptr};

  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  int status = -1;
  if (posix_spawnp(&pid, "xxd", &actions, nullptr, argv, environ) == 0) {
    waitpid(pid, &status, 0);
  }
  const auto end = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::chrono::duration<double>(end - start).count();
}

void BM_XxdInclude(benchmark::State& state) {
  blobFile();
  for (auto _ : state) {
    const double seconds = timeXxd();
    if (seconds < 0) {
      state.SkipWithError("xxd -i failed (is xxd installed?)");
      return;
    }
    xxdSeconds.push_back(seconds);
    state.SetIterationTime(seconds);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlobSize));
}
BENCHMARK(BM_XxdInclude)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_WriteByteArrayHeader(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = blob();
  // Spans several of the writer's internal chunks and ends in a short line.
  const size_t checked = (size_t{1} << 20) + 3;
  std::ostringstream sample;
  quill::writeByteArrayHeader(sample, "BLOB", bytes.data(), static_cast<int32_t>(checked));
  if (sample.str() != printfHeader("BLOB", bytes.data(), checked)) {
    state.SkipWithError("output differs from the printf layout");
    return;
  }

  std::ofstream out("/dev/null", std::ios::binary);
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    quill::writeByteArrayHeader(out, "BLOB", bytes.data(), static_cast<int32_t>(bytes.size()));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!out) state.SkipWithError("writing to /dev/null failed");
  const double bytesWritten = static_cast<double>(state.iterations()) * kBlobSize;
  state.SetBytesProcessed(static_cast<int64_t>(bytesWritten));
  const double xxdRate = medianXxdBytesPerSecond();
  if (xxdRate > 0) {
    state.counters["xxd_bytes_per_second"] = xxdRate;
    state.counters["ratio_to_xxd"] = bytesWritten / seconds / xxdRate;
  }
}
BENCHMARK(BM_WriteByteArrayHeader)->UseRealTime()->MinTime(2.0)->Unit(benchmark::kMillisecond);

// The same layout written the obvious way, one snprintf and one small write
// per byte: what the table-driven chunked writer is measured against.
void BM_PerByteFormatting(benchmark::State& state) {
  const std::vector<uint8_t>& bytes = blob();
  std::ofstream out("/dev/null", std::ios::binary);
  char item[16];
  for (auto _ : state) {
    out << "#define BLOB_LEN " << bytes.size() << std::endl << "#define BLOB_DATA ";
    for (size_t i = 0; i < bytes.size(); ++i) {
      const bool last = i + 1 == bytes.size();
      const int length = snprintf(item, sizeof item, "0x%02x%s%s%s", bytes[i], last ? "" : ", ",
                                  last         ? "\n"
                                  : i % 8 == 7 ? "\\\n"
                                               : "",
                                  !last && i % 8 == 7 ? "\t\t\t" : "");
      out.write(item, length);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBlobSize));
}
BENCHMARK(BM_PerByteFormatting)->UseRealTime()->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
