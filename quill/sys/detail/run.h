#pragma once
// Starting a command list command by command and cleaning up after it;
// private to quill/sys.

#include <quill/sys/exec.h>

#include <sys/types.h>
#include <vector>

namespace quill::sys {
class TExecList;
}

namespace quill::sys::detail {

/// A child started without waiting for it, and the command it runs.
struct StartedChild {
  /// Its process id.
  pid_t pid;
  /// Its command, owned by the list being run.
  const TExec* cmd;
};

/// One run of a command list with TExec::Run. Keeps the children it started
/// without waiting, so that they can be reaped, or ended and reaped when the
/// run fails.
class ListRun {
 public:
  /// A run of `list`, which must outlive it.
  explicit ListRun(const TExecList& list) : list_(list) {}

  /// Runs every command in order with TExec::Run and returns the last one's
  /// result. Refuses an empty argument vector before anything starts. When
  /// a command fails to start, abort() runs before the error propagates.
  TRunResult start();

  /// The children started without waiting, in list order.
  const std::vector<StartedChild>& unwaited() const noexcept { return unwaited_; }

  /// Closes every pipe end the list's preparations still hold in the caller
  /// and kills and reaps the children started so far.
  void abort() noexcept;

 private:
  const TExecList& list_;
  std::vector<StartedChild> unwaited_;
};

}  // namespace quill::sys::detail
