#include "tests/support/proc_count.h"

#include <dirent.h>
#include <unistd.h>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace quill::test {

namespace {

bool isNumber(const char* name) {
  if (*name == '\0') return false;
  for (; *name != '\0'; ++name) {
    if (!std::isdigit(static_cast<unsigned char>(*name))) return false;
  }
  return true;
}

// Calls visit(name) for every numeric entry of a /proc directory except the
// descriptor of the listing itself.
template <typename Visit>
void forEachNumericEntry(const char* dir, Visit visit) {
  DIR* listing = opendir(dir);
  if (listing == nullptr) return;
  const int own = dirfd(listing);
  while (dirent* entry = readdir(listing)) {
    if (!isNumber(entry->d_name)) continue;
    if (std::atoi(entry->d_name) == own && std::string(dir) == "/proc/self/fd") continue;
    visit(entry->d_name);
  }
  closedir(listing);
}

}  // namespace

std::vector<std::string> openDescriptors() {
  std::vector<std::string> found;
  forEachNumericEntry("/proc/self/fd", [&](const char* name) {
    char target[256] = {};
    const std::string path = std::string("/proc/self/fd/") + name;
    const ssize_t size = readlink(path.c_str(), target, sizeof target - 1);
    found.push_back(std::string(name) + " -> " + (size > 0 ? target : "?"));
  });
  return found;
}

int openDescriptorCount() {
  return static_cast<int>(openDescriptors().size());
}

std::vector<pid_t> childProcesses() {
  std::vector<pid_t> found;
  const pid_t self = getpid();
  forEachNumericEntry("/proc", [&](const char* name) {
    std::ifstream stat(std::string("/proc/") + name + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return;  // ended meanwhile
    // The command name may hold blanks and parentheses: fields resume after
    // the last ')'. Then come the state and the parent's pid.
    const std::size_t close = line.rfind(')');
    if (close == std::string::npos) return;
    std::istringstream fields(line.substr(close + 1));
    std::string state;
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent == self) found.push_back(static_cast<pid_t>(std::atoi(name)));
  });
  return found;
}

int childProcessCount() {
  return static_cast<int>(childProcesses().size());
}

}  // namespace quill::test
