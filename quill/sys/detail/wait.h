#pragma once
// Waiting for children and reading their wait status; private to quill/sys.
// Every wait of the subsystem goes through waitFor, and every status is read
// through decodeStatus.

#include <signal.h>
#include <sys/types.h>

namespace quill::sys::detail {

/// waitpid(`pid`, `status`, `options`), retried while a signal interrupts
/// it: the child's pid, 0 (WNOHANG and still running) or -1 with errno.
/// Without WUNTRACED a stopped child is waited for until it really ends.
pid_t waitFor(pid_t pid, int* status, int options = 0) noexcept;

/// waitid(P_PIDFD, `pidfd`, `info`, WEXITED | `options`), retried while a
/// signal interrupts it: 0 (with info.si_pid 0 when WNOHANG found it
/// running) or -1 with errno (ECHILD when someone else reaped it).
int waitForPidfd(int pidfd, siginfo_t& info, int options = 0) noexcept;

/// How a child ended, read from its wait status.
struct ExitStatus {
  /// True when it exited (rather than being killed by a signal).
  bool exited;
  /// Its exit code when it exited, else -1.
  int code;
  /// The signal that ended it, else 0.
  int signal;
};

/// Reads a wait status as waitpid reports it.
ExitStatus decodeStatus(int status) noexcept;

/// Reads the end of a child as waitid reports it.
ExitStatus decodeStatus(const siginfo_t& info) noexcept;

/// Waits for `pid` to end and discards its status.
void reap(pid_t pid) noexcept;

/// Kills `pid` (SIGKILL) and reaps it: for a child nobody can be handed any
/// more.
void killAndReap(pid_t pid) noexcept;

}  // namespace quill::sys::detail
