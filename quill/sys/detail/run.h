#pragma once
// Starting a command list and cleaning up after it; private to quill/sys.

#include <quill/sys/exec_list.h>
#include <quill/sys/prepare.h>

#include <sys/types.h>
#include <vector>

namespace quill::sys::detail {

/// A child started without waiting for it, and the command it runs.
struct StartedChild {
  /// Its process id.
  pid_t pid;
  /// Its command, owned by the list being run.
  const TExec* cmd;
};

/// One run of a command list. Keeps the children it started without waiting,
/// so that they can be reaped, or ended and reaped when the run fails.
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

/// Calls `visit` on every preparation of a chain built by AddPrep, in the
/// order their hooks run; unions are walked, not visited.
template <typename Visit>
void forEachPrep(const TSharedPtr<TExec::TPrepare>& prep, Visit&& visit) {
  if (!prep) return;
  if (auto* both = dynamic_cast<TUnionPrep*>(prep.get())) {
    forEachPrep(both->first, visit);
    forEachPrep(both->second, visit);
    return;
  }
  visit(prep.get());
}

/// True when `cmd`'s preparations send its output into a pipeline's pipe.
bool feedsPipe(const TExec& cmd);

/// Closes the pipe ends that `cmd`'s own preparations (capture, pipeline
/// ends) still hold in the caller; for a start that failed.
void closePipesOf(const TExec& cmd) noexcept;

/// Waits for `pid` until it has ended, retrying interrupted waits.
void reap(pid_t pid) noexcept;

}  // namespace quill::sys::detail
