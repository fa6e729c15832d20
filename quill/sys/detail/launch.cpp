#include <quill/sys/detail/launch.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/clone3.h>
#include <quill/sys/detail/failure.h>
#include <quill/sys/detail/fd.h>

#include <fcntl.h>
#include <pthread.h>
#include <sanitizer/asan_interface.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <new>
#include <string>

namespace quill::sys::detail {

namespace {

// What the caller hands to a child. For a child that shares the caller's
// memory it is placed at the top of the child's own stack, which lives as
// long as the child may read it.
struct ChildStart {
  const ChildPlan* plan;
  ChildHooks* hooks;
  sigset_t callerMask;
  bool reportLine;
  int report;             // write end of the report pipe, or -1
  bool inCgroup = false;  // started inside the plan's cgroup
};

// A child's way from its start to exec, and what it does when that fails:
// the record (and the text of a hook's exception) goes back through the
// report pipe, which exec closes, and the classic runner's line goes to
// its standard error. It leaves through exec or exit_group only.
[[noreturn]] void runChild(const ChildStart& start) noexcept {
  SetupFailure failure;
  replayAndExec(*start.plan, &start.callerMask, start.hooks, start.report, start.inCgroup, failure);
  const char* message = start.hooks != nullptr ? start.hooks->message() : nullptr;
  if (start.report != -1) {
    writeAll(start.report, reinterpret_cast<const char*>(&failure), sizeof failure);
    if (message != nullptr) {
      std::size_t length = 0;
      while (message[length] != '\0') ++length;
      writeAll(start.report, message, length);
    }
  }
  bool line = start.reportLine;
  if (line && failure.where == SetupFailure::Where::kExec && start.hooks != nullptr)
    line = start.hooks->reportExecError(failure.error);
  if (line) {
    LineBuffer text;
    describeFailureLine(*start.plan, failure, message, text);
    writeLine(text);
  }
  for (;;) rawSyscall(SYS_exit_group, failureExitCode(failure));
}

// Runs in a child started with the caller's memory, on its own stack, with
// every signal blocked until its signal state is set: no handler of the
// caller may run on the caller's data.
int sharedChild(void* data) noexcept {
  runChild(*static_cast<const ChildStart*>(data));
}

constexpr std::size_t kChildStack = std::size_t{256} * 1024;

// A child that waits for nobody borrows the stack of the thread that starts
// it: the thread is suspended until the child has exec'd or ended.
thread_local ChildStack borrowedStack;

// Stacks whose children have exec'd or ended, kept for the next children
// this thread starts: mapping a stack and faulting its first pages in for
// every child costs more than the rest of a start from a small caller.
class StackPool {
 public:
  StackPool() = default;
  ~StackPool() {
    for (std::size_t i = 0; i < count_; ++i) munmap(stacks_[i], kChildStack);
  }
  StackPool(const StackPool&) = delete;
  StackPool& operator=(const StackPool&) = delete;

  void* take() noexcept { return count_ > 0 ? stacks_[--count_] : nullptr; }
  // False when the pool is full: the caller unmaps the stack.
  bool keep(void* stack) noexcept {
    if (count_ == kKept) return false;
    stacks_[count_++] = stack;
    return true;
  }

 private:
  static constexpr std::size_t kKept = 16;
  void* stacks_[kKept] = {};
  std::size_t count_ = 0;
};

thread_local StackPool stackPool;

// Under a program emulator (valgrind) a child that shares the caller's
// memory beside it cannot be had, and asking for one ends the emulator.
bool underEmulator() {
  static const bool emulated = [] {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
      if (line.find("/vgpreload_core") != std::string::npos) return true;
    }
    return false;
  }();
  return emulated;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The clone flags for a start of a child that replays a plan. The caller
// waits for the exec where it must (the classic runner's plan lives in its
// frame). Otherwise the child runs beside the caller in the caller's memory
// where its system calls leave the caller's state alone. Under an emulator
// (which would end on such a child) and under an address sanitizer (whose
// run-time keeps per-thread state, fake stacks, that such a child would
// share) the child is a copy of the caller instead: slower, but it still
// never holds the caller.
int sharedFlags(bool waitForExec) {
  if (waitForExec) return CLONE_VM | CLONE_VFORK | SIGCHLD;
  if (kAddressSanitizer || underEmulator()) return SIGCHLD;
  if (!kChildRunsBesideCaller) return CLONE_VM | CLONE_VFORK | SIGCHLD;
  return CLONE_VM | SIGCHLD;
}

// Starts a child on the stack whose top is `top`, with `start` placed there.
// A child of a plan with a cgroup starts inside it where the kernel can do
// that; otherwise it joins the cgroup first thing, and reports why when it
// cannot.
pid_t cloneChild(char* top, int flags, const ChildStart& start, int* pidfd) noexcept {
  char* stack = top - sizeof(ChildStart);
  stack -= reinterpret_cast<std::uintptr_t>(stack) % 64;
  auto* placed = new (stack) ChildStart(start);
  if (const int cgroup = start.plan->settings.cgroupFd; cgroup != -1) {
    placed->inCgroup = true;
    const std::size_t size = kChildStack - static_cast<std::size_t>(top - stack);
    const long pid = cloneIntoCgroup(cgroup, flags | (pidfd != nullptr ? CLONE_PIDFD : 0), stack,
                                     size, pidfd, sharedChild, placed);
    if (pid > 0) return static_cast<pid_t>(pid);
    // No process to be had, whichever way it is started.
    if (pid == -EAGAIN || pid == -ENOMEM) {
      errno = static_cast<int>(-pid);
      return -1;
    }
    placed->inCgroup = false;
  }
  if (pidfd == nullptr) return clone(sharedChild, stack, flags, placed);
  pid_t pid = clone(sharedChild, stack, flags | CLONE_PIDFD, placed, pidfd);
  if (pid == -1 && errno == EINVAL) {
    // A kernel without CLONE_PIDFD.
    pid = clone(sharedChild, stack, flags, placed);
    if (pid != -1) *pidfd = openPidfd(pid);
  }
  return pid;
}

// Starts the child with every signal blocked; errno tells why when no child
// could be had.
pid_t createChild(const LaunchRequest& request, ChildStart& start, Launched& child) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &start.callerMask);
  int* pidfd = request.wantPidfd ? &child.pidfd : nullptr;
  pid_t pid = -1;
  if (request.hooks != nullptr) {
    pid = fork();
    if (pid == 0) runChild(start);
    if (pid != -1 && pidfd != nullptr) *pidfd = openPidfd(pid);
  } else {
    const int flags = sharedFlags(request.waitForExec);
    ChildStack& stack = (flags & CLONE_VFORK) != 0 ? borrowedStack : child.stack;
    char* top = stack.top();
    pid = top == nullptr ? -1 : cloneChild(top, flags, start, pidfd);
    // A sandbox may refuse a child with the caller's memory; a copy of the
    // caller then replays the same plan, the copy of the stack its own.
    if (pid == -1 && errno != EAGAIN && errno != ENOMEM && top != nullptr)
      pid = cloneChild(top, SIGCHLD, start, pidfd);
  }
  const int error = errno;
  pthread_sigmask(SIG_SETMASK, &start.callerMask, nullptr);
  errno = error;
  return pid;
}

}  // namespace

ChildStack& ChildStack::operator=(ChildStack&& other) noexcept {
  if (this != &other) {
    unmap();
    base_ = other.base_;
    other.base_ = nullptr;
  }
  return *this;
}

char* ChildStack::top() noexcept {
  if (base_ == nullptr) base_ = stackPool.take();
  if (base_ == nullptr) {
    void* mapped = mmap(nullptr, kChildStack, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    base_ = mapped;
  }
  // A child that exec'd or ended never unwound its frames: under an address
  // sanitizer their red zones would stay marked on a stack used again.
  ASAN_UNPOISON_MEMORY_REGION(base_, kChildStack);
  return static_cast<char*>(base_) + kChildStack;
}

void ChildStack::unmap() noexcept {
  if (base_ != nullptr) munmap(base_, kChildStack);
  base_ = nullptr;
}

void ChildStack::release() noexcept {
  if (base_ != nullptr && !stackPool.keep(base_)) munmap(base_, kChildStack);
  base_ = nullptr;
}

Launched launch(const LaunchRequest& request) noexcept {
  Launched child;
  PipeEnds report;
  if (request.wantReport) {
    try {
      // Above every descriptor the child sets up, so that no step
      // overwrites it there.
      report = makePipe(request.plan->floor);
    } catch (const TSysCallErr& error) {
      child.error = error.errorNumber;
      return child;
    }
    // Read once the child has gone on, never waited for: another process
    // of the caller's may hold the write end for ever.
    fcntl(report.read, F_SETFL, O_NONBLOCK);
  }
  ChildStart start{request.plan, request.hooks, {}, request.reportLine, report.write};
  child.pid = createChild(request, start, child);
  child.error = child.pid == -1 ? errno : 0;
  closeFd(report.write);
  if (child.pid == -1) {
    closeFd(report.read);
    child.stack.release();
    return child;
  }
  child.pidfd = keepAbove(child.pidfd, 3);
  child.report = report.read;
  return child;
}

bool readReport(int fd, std::string& report) {
  char buffer[512];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      report.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return true;
    } else if (errno != EINTR) {
      return errno != EAGAIN;
    }
  }
}

bool parseReport(const std::string& report, SetupFailure& failure, std::string& message) {
  // Records of progress (no error), then perhaps the failure and the text
  // of a hook's exception.
  failure = SetupFailure();
  for (std::size_t at = 0; at + sizeof failure <= report.size(); at += sizeof failure) {
    std::memcpy(&failure, report.data() + at, sizeof failure);
    if (failure.error != 0) {
      message = report.substr(at + sizeof failure);
      return true;
    }
  }
  return false;
}

int openPidfd(pid_t pid) noexcept {
  // The descriptor is close-on-exec from the start.
  const long fd = syscall(SYS_pidfd_open, pid, 0);
  return fd == -1 ? -1 : static_cast<int>(fd);
}

}  // namespace quill::sys::detail
