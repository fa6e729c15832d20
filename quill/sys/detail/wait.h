#pragma once
// Waiting for children and reading their wait status; private to quill/sys.
// Every wait of the subsystem goes through these retrying calls, and every
// status is read through decodeStatus.

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>

namespace quill::sys::detail {

/// waitpid(`pid`, `status`, `options`), retried while a signal interrupts
/// it: the child's pid, 0 (WNOHANG and still running) or -1 with errno.
/// Without WUNTRACED a stopped child is waited for until it really ends.
pid_t waitFor(pid_t pid, int* status, int options = 0) noexcept;

/// waitid on the child `pid`, through `pidfd` where there is one and the
/// system takes pidfd waits, else on its pid (`pidfd` is then closed and
/// set to -1, so that later waits go there at once): WEXITED | `options`,
/// with its resource usage in `usage` when not null. 0 (info.si_pid 0 when
/// WNOHANG found it running) or -1 with errno (ECHILD when someone else
/// reaped it).
int waitForChild(int& pidfd, pid_t pid, siginfo_t& info, int options,
                 struct rusage* usage = nullptr) noexcept;

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
