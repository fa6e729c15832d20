#pragma once
// Makes one system call fail in the calling process, as a kernel or a file
// system that lacks it would: a seccomp filter answers the call with an errno
// instead of running it, every time or only when one of its arguments has a
// given value (waitid only for P_PIDFD, renameat2 only with
// RENAME_NOREPLACE). Each call of refuseSyscall() adds one filter; filters
// stay for the life of the process, are inherited by its children and kept
// across execve, so install them in a forked child (ToolOptions does so for
// a program it starts), never in the test program itself. Installing one
// sets no_new_privs. A call made through another architecture's system call
// table kills the process: its numbers mean other calls.
// refuseSyscall() allocates nothing and may run between fork and exec.

#include <cstdint>

namespace quill::test {

struct SyscallRefusal {
  // The call, as its SYS_ number (SYS_linkat, SYS_waitid, ...).
  long number;
  // The errno it fails with.
  int error;
  // -1: every call fails; 0 to 5: only calls whose argument of that index is
  // `value` (its full 64 bits).
  int argument = -1;
  std::uint64_t value = 0;
};

// Installs a filter in the calling process that refuses the call. Returns 0,
// or the errno of the failed prctl (EINVAL also for an argument index out of
// range).
int refuseSyscall(const SyscallRefusal& refusal) noexcept;

}  // namespace quill::test
