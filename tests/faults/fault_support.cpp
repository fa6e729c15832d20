#include "tests/faults/fault_support.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <typeinfo>

namespace quill::test {

namespace {

std::string failure(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::string describePending() {
  try {
    throw;
  } catch (const std::exception& error) {
    return describe(error);
  } catch (...) {
    return "an exception not derived from std::exception";
  }
}

[[noreturn]] void reportTermination() {
  std::string report = "terminated";
  if (std::current_exception() != nullptr) report += " by " + describePending();
  writeReport(inChildReportDescriptor(), report);
  _exit(0);
}

}  // namespace

ScratchMount::ScratchMount(const std::string& options) : path_(dir_.file("mount")) {
  if (mkdir(path_.c_str(), 0700) != 0) {
    error_ = failure("mkdir");
    return;
  }
  if (mount("tmpfs", path_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    error_ = failure("cannot mount a tmpfs with " + options);
    return;
  }
  mounted_ = true;
}

ScratchMount::~ScratchMount() {
  if (mounted_) umount2(path_.c_str(), MNT_DETACH);
}

std::string ScratchMount::makeReadOnly() {
  if (mount(nullptr, path_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
    return failure("cannot remount read-only");
  return "";
}

std::string ScratchMount::useUpInodes() {
  for (int i = 0;; ++i) {
    const std::string name = path_ + "/fill-" + std::to_string(i);
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return errno == ENOSPC ? "" : failure("filling " + path_);
    close(fd);
  }
}

DescriptorLimit::DescriptorLimit(int spare) {
  rlimit limit = {};
  getrlimit(RLIMIT_NOFILE, &limit);
  saved_ = limit.rlim_cur;
  // The new limit leaves exactly `spare` free numbers below it.
  int fd = 0;
  for (int free = 0;; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      if (free == spare) break;
      ++free;
    }
  }
  limit.rlim_cur = static_cast<rlim_t>(fd);
  setrlimit(RLIMIT_NOFILE, &limit);
}

DescriptorLimit::~DescriptorLimit() {
  rlimit limit = {};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = saved_;
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::string terminationOf(const std::function<void()>& body) {
  return inChild([&body] {
    std::set_terminate(reportTermination);
    body();
    return std::string("returned");
  });
}

std::vector<std::string> listing(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string childErrors(const std::string& path) {
  std::istringstream in(contentOf(path));
  std::string kept, line;
  bool inNote = false;
  while (std::getline(in, line)) {
    if (line.rfind("==", 0) == 0 &&
        line.find("ASan is ignoring requested __asan_handle_no_return") != std::string::npos) {
      inNote = true;
      continue;
    }
    if (inNote && (line == "False positive error reports may follow" ||
                   line.rfind("For details see https://github.com/google/sanitizers/", 0) == 0))
      continue;
    inNote = false;
    kept += line + "\n";
  }
  return kept;
}

bool underSanitizers() {
  return std::getenv("QUILL_SANITIZED") != nullptr;
}

bool underMemcheck() {
  return std::getenv("QUILL_UNDER_MEMCHECK") != nullptr;
}

void writeContent(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace quill::test
