#include <quill/sys/detail/cgroup.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/confine.h>
#include <quill/sys/detail/fd.h>

#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace quill::sys::detail {

namespace {

using quill::detail::OwnedDescriptor;

// How long endLeftovers and close() let ended processes take to leave the
// leaf before ending what is left again.
constexpr std::chrono::milliseconds kKillAgain(100);

int openIn(int dir, const char* name, int flags) noexcept {
  return keepAbove(openat(dir, name, flags | O_CLOEXEC), 3);
}

// Writes `text` into the file `name` of the cgroup open as `dir`; 0 or the
// errno of the open or the write (the kernel refuses a value in the write).
int writeText(int dir, const char* name, const char* text) noexcept {
  OwnedDescriptor file(openIn(dir, name, O_WRONLY));
  if (file.get() == -1) return errno;
  return writeAll(file.get(), text, std::strlen(text));
}

// The start of the open file `fd`, or of the file `name` of `dir`, as text
// in `buffer`; false when it cannot be read.
bool readStart(int fd, char* buffer, std::size_t size) noexcept {
  const ssize_t got = pread(fd, buffer, size - 1, 0);
  if (got < 0) return false;
  buffer[got] = '\0';
  return true;
}

bool readStart(int dir, const char* name, char* buffer, std::size_t size) noexcept {
  OwnedDescriptor file(openIn(dir, name, O_RDONLY));
  return file.get() != -1 && readStart(file.get(), buffer, size);
}

// The value of the line "<key> <value>" of a flat keyed file, else 0.
std::uint64_t keyedValue(const char* text, const char* key) noexcept {
  const std::size_t length = std::strlen(key);
  for (const char* line = text; *line != '\0';) {
    if (std::strncmp(line, key, length) == 0 && line[length] == ' ')
      return std::strtoull(line + length + 1, nullptr, 10);
    const char* end = std::strchr(line, '\n');
    if (end == nullptr) break;
    line = end + 1;
  }
  return 0;
}

std::vector<pid_t> membersOf(int leaf) {
  std::vector<pid_t> pids;
  OwnedDescriptor procs(openIn(leaf, "cgroup.procs", O_RDONLY));
  if (procs.get() == -1) return pids;
  const std::string text = quill::detail::readToEnd(procs.get(), "cgroup.procs");
  for (const char* at = text.c_str(); *at != '\0';) {
    char* end = nullptr;
    const long pid = std::strtol(at, &end, 10);
    if (end == at) break;
    if (pid > 0) pids.push_back(static_cast<pid_t>(pid));
    at = end;
  }
  return pids;
}

// The pidfds a signal goes through, closed on every way out.
struct Held {
  std::vector<int> fds;
  ~Held() {
    for (int& fd : fds) closeFd(fd);
  }
};

// Sends `sig` to every process listed in the leaf, and returns them. A pid
// listed may have passed to a process outside it before the signal goes
// out: each process is held by a pidfd first, and signalled only when its
// pid is still listed afterwards, which says the process held (if it still
// lives) is inside.
std::vector<pid_t> signalMembers(int leaf, int sig) noexcept {
  std::vector<pid_t> reached;
  try {
    const std::vector<pid_t> listed = membersOf(leaf);
    Held held;
    held.fds.reserve(listed.size());
    for (const pid_t pid : listed)
      held.fds.push_back(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    const std::vector<pid_t> still = membersOf(leaf);
    reached.reserve(listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i) {
      if (std::find(still.begin(), still.end(), listed[i]) == still.end()) continue;
      reached.push_back(listed[i]);
      if (held.fds[i] != -1) {
        syscall(SYS_pidfd_send_signal, held.fds[i], sig, nullptr, 0);
      } else {
        // Kernels before 5.3 have no pidfd: the pid, listed a moment ago.
        kill(listed[i], sig);
      }
    }
  } catch (...) {
    // Out of memory for the lists: nothing more is sent.
  }
  return reached;
}

// The controllers a parent's cgroup.controllers or cgroup.subtree_control
// lists, each between spaces.
std::string controllersIn(int parent, const char* file, const std::string& parentPath) {
  OwnedDescriptor list(openIn(parent, file, O_RDONLY));
  if (list.get() == -1) throwSystemError("TRunOptions::cgroup: " + parentPath + "/" + file, errno);
  std::string text = " " + quill::detail::readToEnd(list.get(), file);
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

// The controllers the limits need, enabled in the parent where they are not
// yet: the leaf has a controller's files only then.
void enableControllers(int parent, const std::string& parentPath, const TCgroupLimits& limits) {
  std::vector<std::string> needed;
  if (limits.memoryMax != 0 || limits.memoryHigh != 0) needed.emplace_back("memory");
  if (limits.pidsMax != 0) needed.emplace_back("pids");
  if (limits.cpuQuota.count() > 0) needed.emplace_back("cpu");
  if (needed.empty()) return;
  const std::string available = controllersIn(parent, "cgroup.controllers", parentPath);
  for (const std::string& name : needed) {
    if (available.find(" " + name + " ") == std::string::npos) {
      std::string message = "TRunOptions::cgroup: the " + name;
      message += " controller is not available in ";
      message += parentPath;
      throw std::runtime_error(message);
    }
  }
  const std::string enabled = controllersIn(parent, "cgroup.subtree_control", parentPath);
  for (const std::string& name : needed) {
    if (enabled.find(" " + name + " ") != std::string::npos) continue;
    if (const int error = writeText(parent, "cgroup.subtree_control", ("+" + name).c_str());
        error != 0) {
      std::string message = "TRunOptions::cgroup: cannot enable the " + name;
      message += " controller in ";
      message += parentPath;
      throwSystemError(message, error);
    }
  }
}

}  // namespace

RunCgroup::RunCgroup(const std::string& parent, const TCgroupLimits& limits, Poller& poller)
    : poller_(poller), parent_(openCgroupDirectory(parent)) {
  if (parent_.get() == -1) throwSystemError("TRunOptions::cgroup: " + parent, errno);
  struct statfs fs = {};
  if (fstatfs(parent_.get(), &fs) != 0) throwSystemError("TRunOptions::cgroup: " + parent, errno);
  if (fs.f_type != CGROUP2_SUPER_MAGIC)
    throw std::runtime_error("TRunOptions::cgroup: " + parent + " is not a cgroup v2 directory");
  enableControllers(parent_.get(), parent, limits);
  makeLeaf(parent_.get(), parent);
  try {
    limit(limits);
    events_.reset(openIn(leaf_.get(), "cgroup.events", O_RDONLY));
    if (events_.get() == -1)
      throwSystemError("TRunOptions::cgroup: " + path_ + "/cgroup.events", errno);
  } catch (...) {
    leaf_.close();
    unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR);
    throw;
  }
}

RunCgroup::~RunCgroup() {
  close();
}

// A name no other run uses: this process's id and a count, past any leaf a
// process of the same id left behind.
void RunCgroup::makeLeaf(int parent, const std::string& parentPath) {
  static std::atomic<unsigned> count{0};
  const std::string prefix = "run-" + std::to_string(getpid()) + "-";
  for (;;) {
    name_ = prefix + std::to_string(count++);
    if (mkdirat(parent, name_.c_str(), 0755) == 0) break;
    if (errno != EEXIST)
      throwSystemError("TRunOptions::cgroup: cannot make a cgroup in " + parentPath, errno);
  }
  path_ = parentPath + "/" + name_;
  leaf_.reset(openCgroupDirectory(path_));
  if (leaf_.get() == -1) {
    const int error = errno;
    unlinkat(parent, name_.c_str(), AT_REMOVEDIR);
    throwSystemError("TRunOptions::cgroup: " + path_, error);
  }
}

void RunCgroup::limit(const TCgroupLimits& limits) {
  const auto write = [&](const char* file, const std::string& value) {
    if (const int error = writeText(leaf_.get(), file, value.c_str()); error != 0)
      throwSystemError("TRunOptions::limits: cannot write " + value + " into " + path_ + "/" + file,
                       error);
  };
  if (limits.memoryMax != 0) write("memory.max", std::to_string(limits.memoryMax));
  if (limits.memoryHigh != 0) write("memory.high", std::to_string(limits.memoryHigh));
  if (limits.pidsMax != 0) write("pids.max", std::to_string(limits.pidsMax));
  if (limits.cpuQuota.count() > 0)
    write("cpu.max",
          std::to_string(limits.cpuQuota.count()) + " " + std::to_string(limits.cpuPeriod.count()));
}

bool RunCgroup::populated() const noexcept {
  char text[256];
  return events_.get() != -1 && readStart(events_.get(), text, sizeof text) &&
         keyedValue(text, "populated") != 0;
}

std::vector<pid_t> RunCgroup::signal(int sig) noexcept {
  if (sig == SIGKILL) {
    kill();
    return {};
  }
  return closed_ ? std::vector<pid_t>() : signalMembers(leaf_.get(), sig);
}

void RunCgroup::kill() noexcept {
  if (closed_ || !populated()) return;
  killed_ = true;
  killedAt_ = Clock::now();
  if (writeText(leaf_.get(), "cgroup.kill", "1") == ENOENT) freezeAndKill(leaf_.get());
}

// cgroup.events is watched only now: while the commands run, its changes
// would wake the run for nothing.
bool RunCgroup::endLeftovers(Clock::time_point now) noexcept {
  if (!emptied_) emptied_ = !populated();
  if (emptied_) return true;
  if (!killed_ || now >= killAgainAt()) kill();
  if (!watched_) {
    try {
      poller_.watchChanges(events_.get(), {Poller::Tag::Kind::kCgroup, 0});
      watched_ = true;
    } catch (...) {
      // Unwatched, the leaf is looked at whenever killAgainAt() passes.
    }
  }
  return false;
}

RunCgroup::Clock::time_point RunCgroup::killAgainAt() const noexcept {
  return killed_ && !emptied_ ? killedAt_ + kKillAgain : Clock::time_point::max();
}

// An ended process leaves the leaf within moments; one asleep in the kernel
// (on a hung network file system) takes as long as it takes.
void RunCgroup::close() noexcept {
  if (closed_ || leaf_.get() == -1) return;
  while (populated()) {
    kill();
    pollfd change = {events_.get(), POLLPRI, 0};
    poll(&change, 1, static_cast<int>(kKillAgain.count()));
  }
  readUsage();
  closed_ = true;
  if (watched_) poller_.forget(events_.get());
  events_.close();
  leaf_.close();
  unlinkat(parent_.get(), name_.c_str(), AT_REMOVEDIR);
}

// Read before the leaf goes: the counts hold every process that ran in it,
// those nobody waited for included. A file of a controller that is not on
// in the leaf is missing, and its counts stay 0.
void RunCgroup::readUsage() noexcept {
  char text[1024];
  usage_.known = true;
  if (readStart(leaf_.get(), "cpu.stat", text, sizeof text))
    usage_.cpu = std::chrono::microseconds(keyedValue(text, "usage_usec"));
  if (readStart(leaf_.get(), "memory.peak", text, sizeof text))
    usage_.memoryPeak = std::strtoull(text, nullptr, 10);
  if (readStart(leaf_.get(), "memory.events", text, sizeof text))
    usage_.oomKills = keyedValue(text, "oom_kill");
  if (readStart(leaf_.get(), "pids.events", text, sizeof text))
    usage_.pidsLimitHits = keyedValue(text, "max");
}

void freezeAndKill(int leaf) noexcept {
  // A process forked while the others are signalled is frozen from its
  // start, and the next call finds it.
  writeText(leaf, "cgroup.freeze", "1");
  signalMembers(leaf, SIGKILL);
}

}  // namespace quill::sys::detail
