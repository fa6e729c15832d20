#include "tests/faults/syscall_wrappers.h"

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace quill::test {
namespace {

struct Plan {
  bool armed;
  int skip;
  int errorNumber;
  int injected;
};

constexpr int kCalls = 3;
// Volatile: a child started with vfork semantics changes it behind the
// compiler's back.
volatile Plan plans[kCalls] = {};
volatile int holdSkip = -1;
volatile pid_t holder = 0;

volatile Plan& planOf(WrappedCall call) {
  return plans[static_cast<int>(call)];
}

// True, with errno set, when this call is the one to fail.
bool injected(WrappedCall call) {
  volatile Plan& plan = planOf(call);
  if (!plan.armed) return false;
  if (plan.skip > 0) {
    plan.skip = plan.skip - 1;
    return false;
  }
  plan.armed = false;
  plan.injected = plan.injected + 1;
  errno = plan.errorNumber;
  return true;
}

}  // namespace

void failOnce(WrappedCall call, int errorNumber, int skip) {
  volatile Plan& plan = planOf(call);
  plan.skip = skip;
  plan.errorNumber = errorNumber;
  plan.armed = true;
}

void holdAfterPipe(int skip) {
  holdSkip = skip;
  holder = 0;
}

pid_t heldBy() {
  return holder;
}

void holdIfDue() {
  if (holdSkip < 0) return;
  if (holdSkip > 0) {
    holdSkip = holdSkip - 1;
    return;
  }
  holdSkip = -1;
  const pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  holder = pid;
}

void passAll() {
  holdSkip = -1;
  for (volatile Plan& plan : plans) {
    plan.armed = false;
    plan.skip = 0;
    plan.injected = 0;
  }
}

int injectedFailures(WrappedCall call) {
  return planOf(call).injected;
}

}  // namespace quill::test

using quill::test::WrappedCall;

extern "C" {

int __real_fsync(int fd);
pid_t __real_waitpid(pid_t pid, int* status, int options);
int __real_pipe2(int fds[2], int flags);

int __wrap_fsync(int fd) {
  if (quill::test::injected(WrappedCall::kFsync)) return -1;
  return __real_fsync(fd);
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options) {
  if (quill::test::injected(WrappedCall::kWaitpid)) return -1;
  return __real_waitpid(pid, status, options);
}

int __wrap_pipe2(int fds[2], int flags) {
  if (quill::test::injected(WrappedCall::kPipe2)) return -1;
  const int result = __real_pipe2(fds, flags);
  if (result == 0) quill::test::holdIfDue();
  return result;
}

}  // extern "C"
