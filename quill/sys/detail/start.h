#pragma once
// Starting a child from a laid-out plan; private to quill/sys.
//
// A full fork copies the caller's page tables, so its cost grows with the
// caller's memory. A child whose whole way to exec is a plan (ChildPlan) is
// started with vfork semantics instead: it borrows the caller's memory and
// the calling thread is suspended until it has exec'd or ended, so the plan,
// the argument vector and the child's stack stay valid for as long as it
// needs them. Where the system refuses that kind of start, a plain fork
// replays the same plan.

#include <quill/sys/detail/plan.h>

#include <sys/types.h>

namespace quill::sys::detail {

/// Starts a child that replays `plan` and execs. Returns its pid once the
/// child has exec'd or ended, or -1 with errno when no child could be
/// started. A child whose set-up fails ends with failureExitCode, after
/// writing its describeFailureLine on its standard error if `reportLine`;
/// with `failure` not null, where it failed is stored there (kNone after a
/// successful exec). With `pidfd` not null, a descriptor of the child
/// (close-on-exec) is stored there, or -1 where the kernel offers none.
pid_t startChild(const ChildPlan& plan, bool reportLine, SetupFailure* failure,
                 int* pidfd) noexcept;

/// A descriptor that refers to the child `pid` of this process, or -1 where
/// the kernel offers none.
int openPidfd(pid_t pid) noexcept;

}  // namespace quill::sys::detail
