#pragma once
// A child started inside a cgroup from its first instruction (clone3 with
// CLONE_INTO_CGROUP); private to quill/sys, used by the launcher only.
//
// The C library offers no clone3 that runs a function on a new stack: the
// new process starts in the middle of the system call, on a stack where no
// C++ frame of the caller's exists, so a few instructions per architecture
// call the function there and end the process if it ever returns.

#include <cstddef>

namespace quill::sys::detail {

/// Starts a process that runs `fn(arg)` on the stack that ends (grows down
/// from) `stackTop`, `stackSize` bytes long, inside the cgroup v2 directory
/// open as `cgroup`. `flags`: clone flags, the exit signal in the low byte
/// as clone() takes them; with CLONE_PIDFD the pidfd goes into `pidfd`.
/// Returns the child's pid, or -errno: ENOSYS where this architecture or the
/// kernel has no clone3, E2BIG or EINVAL where the kernel knows no
/// CLONE_INTO_CGROUP, and whatever the kernel has against the cgroup.
long cloneIntoCgroup(int cgroup, int flags, char* stackTop, std::size_t stackSize, int* pidfd,
                     int (*fn)(void*), void* arg) noexcept;

}  // namespace quill::sys::detail
