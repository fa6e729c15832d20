#pragma once
// The one way a child is started; private to quill/sys.
//
// Every child of the library comes from launch(): a child whose whole way
// to exec is a plan is started with the caller's memory (no copy of the
// caller's page tables, so its cost does not grow with the caller); a
// command with preparations of the caller's gets a full fork, in which their
// hooks may allocate and raise. Either way the child replays the same plan,
// and a failed set-up comes back as the same record (SetupFailure, plus the
// text of an exception a hook raised) through the report pipe, and for the
// classic runner as the line the child writes on its standard error and its
// exit code. Every signal is blocked around the start, so that no handler
// of the caller runs in the child.

#include <quill/sys/detail/plan.h>

#include <sys/types.h>
#include <cstddef>
#include <string>

namespace quill::sys::detail {

/// The stack a child started with the caller's memory runs on; it must stay
/// mapped until that child has exec'd or ended.
class ChildStack {
 public:
  ChildStack() = default;
  ~ChildStack() { unmap(); }
  ChildStack(ChildStack&& other) noexcept : base_(other.base_) { other.base_ = nullptr; }
  ChildStack& operator=(ChildStack&& other) noexcept;
  ChildStack(const ChildStack&) = delete;
  ChildStack& operator=(const ChildStack&) = delete;

  /// The top of the stack (it grows down), mapped on first use; null when
  /// no memory can be had.
  char* top() noexcept;
  /// Lets it go once its child has exec'd or ended: kept for the next
  /// child this thread starts, or unmapped.
  void release() noexcept;

 private:
  void unmap() noexcept;

  void* base_ = nullptr;
};

/// How a child is to be started.
struct LaunchRequest {
  const ChildPlan* plan = nullptr;
  /// The caller's preparations: the child is a full fork that runs them.
  ChildHooks* hooks = nullptr;
  /// Return only once the child has exec'd or ended: the plan may then go.
  /// Otherwise the child may still be setting up when launch returns, and
  /// the plan and the stack must live until it has exec'd or ended.
  bool waitForExec = false;
  /// The child writes its failure line on its standard error (the classic
  /// runner).
  bool reportLine = false;
  /// A pidfd of the child is wanted.
  bool wantPidfd = false;
  /// A report pipe is wanted.
  bool wantReport = false;
};

/// A started child.
struct Launched {
  /// The child's process id; -1 when none could be started, with `error`.
  pid_t pid = -1;
  int error = 0;
  /// A descriptor of the child (above 2), or -1 where the kernel has none.
  int pidfd = -1;
  /// Read end of the report pipe: the failure record comes through it, and
  /// end of file once the child has exec'd (unless another process of the
  /// caller's inherited the write end); -1 when none was asked for.
  int report = -1;
  /// The stack of a child that may still be setting up.
  ChildStack stack;
};

/// Starts a child as `request` says. When none can be started, the pid is
/// -1, `error` says why and nothing is left open.
Launched launch(const LaunchRequest& request) noexcept;

/// Appends to `report` what the child has written into its report pipe
/// `fd`, without waiting; true once the pipe is at its end.
bool readReport(int fd, std::string& report);

/// What a report says: true, with `failure` (and `message`, when a hook
/// raised) filled, when the child's set-up failed; otherwise `failure` is
/// the last step the child noted it was about to take (kNone: none).
bool parseReport(const std::string& report, SetupFailure& failure, std::string& message);

/// A descriptor that refers to the child `pid` of this process, or -1 where
/// the kernel offers none.
int openPidfd(pid_t pid) noexcept;

}  // namespace quill::sys::detail
