#include <quill/sys/detail/wait.h>

#include <sys/wait.h>
#include <cerrno>
#include <csignal>

namespace quill::sys::detail {

pid_t waitFor(pid_t pid, int* status, int options) noexcept {
  // Giving up on an interrupted wait would leave a zombie that nobody can
  // reap any more.
  for (;;) {
    const pid_t result = waitpid(pid, status, options);
    if (result != -1 || errno != EINTR) return result;
  }
}

int waitForPidfd(int pidfd, siginfo_t& info, int options) noexcept {
  for (;;) {
    info = {};
    const int result = waitid(P_PIDFD, static_cast<id_t>(pidfd), &info, WEXITED | options);
    if (result != -1 || errno != EINTR) return result;
  }
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
