#include <quill/sys/detail/start.h>

#include <quill/sys/detail/child.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace quill::sys::detail {

namespace {

// What the caller hands to a child; for a child that shares the caller's
// memory it lives on the caller's stack, which stays put while the caller is
// suspended.
struct SharedStart {
  const ChildPlan* plan;
  const sigset_t* callerMask;
  bool reportLine;
  int report;  // write end of the pipe the failure goes back through, or -1
};

// A child's way from its start to exec, and what it does when that fails:
// the failure goes back through the report pipe (exec closes it, so the
// caller reads end of file after a successful exec). A pipe rather than the
// shared memory: under an emulator such as valgrind a vfork is a fork.
[[noreturn]] void runChild(const SharedStart& start) noexcept {
  SetupFailure failure;
  replayAndExec(*start.plan, start.callerMask, failure);
  if (start.report != -1)
    writeAll(start.report, reinterpret_cast<const char*>(&failure), sizeof failure);
  if (start.reportLine) {
    LineBuffer line;
    describeFailureLine(*start.plan, failure, line);
    writeLine(line);
  }
  _exit(failureExitCode(failure));
}

// Runs in the child between clone and exec, on its own stack but in the
// caller's memory, with every signal blocked until its signal state is set:
// no handler of the caller may run on the caller's data. It must not
// allocate, must not throw, must not change anything the caller owns, and
// leaves through exec or _exit only.
int sharedChild(void* data) noexcept {
  runChild(*static_cast<const SharedStart*>(data));
}

// The child's stack: execvp-style search builds paths on it. One per thread,
// kept for the thread's life: the child is done with it when clone returns.
constexpr std::size_t kChildStack = std::size_t{256} * 1024;

class ChildStack {
 public:
  ChildStack() = default;
  ~ChildStack() {
    if (base_ != nullptr) munmap(base_, kChildStack);
  }
  ChildStack(const ChildStack&) = delete;
  ChildStack& operator=(const ChildStack&) = delete;

  // The top of the stack (it grows down), or null when none can be had.
  char* top() noexcept {
    if (base_ == nullptr) {
      void* mapped = mmap(nullptr, kChildStack, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
      if (mapped == MAP_FAILED) return nullptr;
      base_ = mapped;
    }
    return static_cast<char*>(base_) + kChildStack;
  }

 private:
  void* base_ = nullptr;
};

thread_local ChildStack childStack;

pid_t startShared(SharedStart& start, int* pidfd) noexcept {
  char* stack = childStack.top();
  if (stack == nullptr) return -1;
  sigset_t all, callerMask;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &callerMask);
  start.callerMask = &callerMask;
  const int flags = CLONE_VM | CLONE_VFORK | SIGCHLD;
  pid_t pid = -1;
  if (pidfd == nullptr) {
    pid = clone(sharedChild, stack, flags, &start);
  } else {
    pid = clone(sharedChild, stack, flags | CLONE_PIDFD, &start, pidfd);
    if (pid == -1 && errno == EINVAL) {
      // A kernel without CLONE_PIDFD.
      pid = clone(sharedChild, stack, flags, &start);
      if (pid != -1) *pidfd = openPidfd(pid);
    }
  }
  const int error = errno;
  pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
  start.callerMask = nullptr;
  errno = error;
  return pid;
}

// The same child by a full fork, for where the system refuses the shared
// start.
pid_t startForked(SharedStart& start, int* pidfd) noexcept {
  sigset_t all, callerMask;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &callerMask);
  start.callerMask = &callerMask;
  const pid_t pid = fork();
  if (pid == 0) runChild(start);
  const int error = errno;
  pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
  start.callerMask = nullptr;
  if (pid != -1 && pidfd != nullptr) *pidfd = openPidfd(pid);
  errno = error;
  return pid;
}

}  // namespace

int openPidfd(pid_t pid) noexcept {
  // The descriptor is close-on-exec from the start.
  const long fd = syscall(SYS_pidfd_open, pid, 0);
  return fd == -1 ? -1 : static_cast<int>(fd);
}

pid_t startChild(const ChildPlan& plan, bool reportLine, SetupFailure* failure,
                 int* pidfd) noexcept {
  if (pidfd != nullptr) *pidfd = -1;
  int report[2] = {-1, -1};
  if (failure != nullptr && pipe2(report, O_CLOEXEC) == -1) return -1;
  SharedStart start{&plan, nullptr, reportLine, report[1]};
  pid_t pid = startShared(start, pidfd);
  // A sandbox may refuse this kind of clone; fork then decides whether a
  // child can be had at all, and sets errno when not.
  if (pid == -1) pid = startForked(start, pidfd);
  const int error = errno;
  if (failure != nullptr) {
    close(report[1]);
    *failure = SetupFailure();
    SetupFailure reported;
    ssize_t got;
    do {
      got = pid == -1 ? 0 : read(report[0], &reported, sizeof reported);
    } while (got == -1 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof reported)) *failure = reported;
    close(report[0]);
  }
  errno = error;
  return pid;
}

}  // namespace quill::sys::detail
