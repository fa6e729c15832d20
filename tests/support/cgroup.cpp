#include "tests/support/cgroup.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace quill::test {

namespace {

std::string contentOf(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

// Waits, on cgroup.events, until nothing is left in the cgroup `path`: a
// killed process takes a moment to leave it.
void waitUntilEmpty(const std::string& path) {
  const int events = open((path + "/cgroup.events").c_str(), O_RDONLY | O_CLOEXEC);
  if (events == -1) return;
  for (int round = 0; round < 100; ++round) {
    char text[256] = {};
    if (pread(events, text, sizeof text - 1, 0) <= 0 || std::strstr(text, "populated 0") != nullptr)
      break;
    pollfd change = {events, POLLPRI, 0};
    poll(&change, 1, 100);
  }
  close(events);
}

void removeTree(const std::string& path) {
  for (const std::string& child : TestCgroup::childrenOf(path)) removeTree(path + "/" + child);
  std::ofstream(path + "/cgroup.kill") << "1";
  waitUntilEmpty(path);
  rmdir(path.c_str());
}

}  // namespace

std::string cgroupMount() {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE OPTIONS
    const std::size_t separator = line.find(" - ");
    if (separator == std::string::npos || line.compare(separator + 3, 8, "cgroup2 ") != 0) continue;
    std::istringstream fields(line.substr(0, separator));
    std::string id, parent, device, root, mountPoint;
    if (fields >> id >> parent >> device >> root >> mountPoint) return mountPoint;
  }
  return "";
}

std::vector<std::string> TestCgroup::childrenOf(const std::string& path) {
  std::vector<std::string> names;
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) return names;
  while (dirent* entry = readdir(listing)) {
    if (entry->d_type == DT_DIR && std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0)
      names.emplace_back(entry->d_name);
  }
  closedir(listing);
  return names;
}

TestCgroup::TestCgroup() : mount_(cgroupMount()) {
  static std::atomic<int> count{0};
  if (geteuid() != 0) {
    error_ = "needs root to make cgroups";
  } else if (mount_.empty()) {
    error_ = "no cgroup v2 hierarchy is mounted here";
  } else {
    path_ = mount_ + "/quill-test-" + std::to_string(getpid()) + "-" + std::to_string(count++);
    if (mkdir(path_.c_str(), 0755) != 0) {
      error_ = "cannot make the cgroup " + path_ + ": " + std::strerror(errno);
      path_.clear();
    }
  }
}

TestCgroup::~TestCgroup() {
  if (!path_.empty()) removeTree(path_);
}

std::string TestCgroup::name() const {
  return path_.substr(mount_.size());
}

std::vector<std::string> TestCgroup::children() const {
  return childrenOf(path_);
}

std::string TestCgroup::missing(const std::string& controller) const {
  std::string available = contentOf(path_ + "/cgroup.controllers");
  available.erase(std::remove(available.begin(), available.end(), '\n'), available.end());
  if ((" " + available + " ").find(" " + controller + " ") != std::string::npos) return "";
  return "the " + controller + " controller is not available below " + mount_ +
         " here (cgroup.controllers of " + path_ + ": \"" + available + "\")";
}

bool running(pid_t pid) {
  const std::string stat = contentOf("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t end = stat.rfind(')');
  if (end == std::string::npos || end + 2 >= stat.size()) return false;
  const char state = stat[end + 2];
  return state != 'Z' && state != 'X';
}

}  // namespace quill::test
