#pragma once
// Real cgroups for tests, as root: the machine's cgroup v2 mount, a cgroup
// made for one test under it and removed with everything below it, and
// whether a process is still alive.

#include <sys/types.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quill::test {

// Where the cgroup v2 hierarchy is mounted (from /proc/self/mountinfo);
// "" when it is not.
std::string cgroupMount();

// A fresh cgroup directly under the v2 mount; on destruction whatever runs
// in it or below it is killed, and it is removed with every cgroup below it.
class TestCgroup {
 public:
  TestCgroup();
  ~TestCgroup();

  TestCgroup(const TestCgroup&) = delete;
  TestCgroup& operator=(const TestCgroup&) = delete;

  // Empty when the cgroup was made; otherwise why not (not root, no v2
  // mount, a read-only mount).
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }
  // The path as /proc/<pid>/cgroup names it: below the mount.
  std::string name() const;
  // The cgroups made below it, by name.
  std::vector<std::string> children() const;
  // The cgroups directly below the cgroup `path`, by name.
  static std::vector<std::string> childrenOf(const std::string& path);
  // Empty when `controller` can be enabled for the cgroups below this one
  // (its parent lets it have it); otherwise why not.
  std::string missing(const std::string& controller) const;

 private:
  std::string mount_;
  std::string path_;
  std::string error_;
};

// Whether the process `pid` still runs (a zombie does not).
bool running(pid_t pid);

}  // namespace quill::test

// Skips the current test, with the reason, when `cgroup` could not be made.
#define QUILL_REQUIRE_CGROUP(cgroup)                                 \
  do {                                                               \
    if (!(cgroup).error().empty()) GTEST_SKIP() << (cgroup).error(); \
  } while (0)
