#include <quill/sys/detail/wait.h>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace quill::sys::detail {

namespace {

// waitid with the resource usage, which the C library's wrapper does not
// pass on.
int waitid(idtype_t type, id_t id, siginfo_t& info, int options, struct rusage* usage) noexcept {
  for (;;) {
    info = {};
    const long result = syscall(SYS_waitid, type, id, &info, options, usage);
    if (result != -1 || errno != EINTR) return static_cast<int>(result);
  }
}

}  // namespace

pid_t waitFor(pid_t pid, int* status, int options) noexcept {
  // Giving up on an interrupted wait would leave a zombie that nobody can
  // reap any more.
  for (;;) {
    const pid_t result = waitpid(pid, status, options);
    if (result != -1 || errno != EINTR) return result;
  }
}

int waitForChild(int& pidfd, pid_t pid, siginfo_t& info, int options,
                 struct rusage* usage) noexcept {
  if (pidfd != -1) {
    const int result = waitid(P_PIDFD, static_cast<id_t>(pidfd), info, WEXITED | options, usage);
    // Kernels before 5.4 and some sandboxes refuse pidfd waits: the pid
    // serves, and is safe to wait on while the child is not reaped.
    if (result == 0 || (errno != EINVAL && errno != ENOSYS && errno != EPERM)) return result;
    close(pidfd);
    pidfd = -1;
  }
  return waitid(P_PID, static_cast<id_t>(pid), info, WEXITED | options, usage);
}

ExitStatus decodeStatus(int status) noexcept {
  if (WIFEXITED(status)) return {true, WEXITSTATUS(status), 0};
  if (WIFSIGNALED(status)) return {false, -1, WTERMSIG(status)};
  return {false, -1, 0};
}

ExitStatus decodeStatus(const siginfo_t& info) noexcept {
  if (info.si_code == CLD_EXITED) return {true, info.si_status, 0};
  return {false, -1, info.si_status};
}

void reap(pid_t pid) noexcept {
  waitFor(pid, nullptr);
}

void killAndReap(pid_t pid) noexcept {
  kill(pid, SIGKILL);
  reap(pid);
}

}  // namespace quill::sys::detail
