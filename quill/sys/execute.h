#pragma once
/// @file
/// Running commands for a daemon: a deadline, both output streams, a bound
/// on what is kept, and how each command of a list ended.
///
/// Execute starts every command of a list at once (whatever their Wait
/// bits; each runs in a child even without the Fork bit), feeds their
/// StdinFromString texts and reads the last command's standard output and
/// every command's standard error in one loop in the calling thread, so no
/// helper process or thread exists and no pipe can fill up and stall the
/// run. A deadline ends the commands (SIGTERM, then SIGKILL) and also bounds
/// the reading of a pipe that a grandchild keeps open; every child is reaped
/// before Execute returns, and only the children it started. Start does the
/// same in the background of a TJob.
///
/// The children start clean: every signal disposition is the default and the
/// signal mask is empty, and no descriptor of the caller survives exec but
/// 0, 1, 2 and those the command's preparations set up. The run's own pipes
/// are made in the run, so one command or list may be run by many threads at
/// once. A set-up step that fails in a child (a file that cannot be opened,
/// a setting, exec) is reported in that command's TStage, distinct from an
/// exit code of the program's own.
///
/// Errors raised: TEArgs::TEArgsError for an empty argument vector and the
/// SystemError family (TSysCallErr) when pipes or children cannot be made;
/// in either case nothing the run started is left running or unreaped.
/// Preparations of the user's keep their hooks (BeforeFork and InParent in
/// the caller, InChild and BeforeExec in a fully forked child) and are as
/// thread-safe as they make themselves; so is a TReadOut, whose pipe lives
/// in the preparation.

#include <quill/export.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/outcome.h>

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace quill::sys {

namespace detail {
class Job;
}

/// What a deadline ends: the child alone, or its whole process group (each
/// command then runs in a process group of its own).
enum class TKillScope { Child, ProcessGroup };

/// How Execute and Start run a list.
struct TRunOptions {
  /// The deadline, counted from the start of the first command; 0: none.
  std::chrono::milliseconds timeout{0};
  /// On timeout, SIGTERM first, then SIGKILL once this has passed. Also
  /// bounds how long pipes are read after the last command has ended.
  std::chrono::milliseconds killAfter{2000};
  /// Whom the deadline's signals (and TJob::Signal) reach.
  TKillScope killScope = TKillScope::ProcessGroup;
  /// 0: keep everything; else keep per stream the first maxOutput/2 and the
  /// last maxOutput - maxOutput/2 bytes.
  std::size_t maxOutput = 0;
  /// Capture every command's standard error; false: it goes where it would
  /// go without Execute.
  bool captureStderr = true;
  /// Send every command's standard error into the captured standard output,
  /// in the order it is written (2>&1); `err` stays empty.
  bool mergeStderr = false;
};

class TJob;

/// Starts `list` as Execute does and returns at once; the deadline runs from
/// now.
QUILL_API TJob Start(const TExecList& list, const TRunOptions& options = TRunOptions());

/// A run started in the background. Move-only; a job that is destroyed
/// without having been waited for ends its commands (SIGKILL, per its kill
/// scope) and reaps them.
class QUILL_API TJob {
 public:
  /// Takes over `other`'s run; `other` is left without one.
  TJob(TJob&& other) noexcept;
  /// Ends this job's run (as the destructor does) and takes over `other`'s.
  TJob& operator=(TJob&& other) noexcept;
  TJob(const TJob&) = delete;
  TJob& operator=(const TJob&) = delete;
  /// Ends and reaps whatever still runs.
  ~TJob();

  /// Waits for the run to end, honouring its deadline, and returns its
  /// outcome. Call it once: a second call raises std::logic_error.
  TOutcome Wait();
  /// True once the run is over (Wait then returns at once). Never blocks;
  /// reads and writes what the pipes have ready.
  bool Done();
  /// Sends `sig` to every command still running, per the kill scope.
  void Signal(int sig);
  /// The process ids of the commands, in list order.
  std::vector<pid_t> Pids() const;

 private:
  friend TJob Start(const TExecList& list, const TRunOptions& options);
  QUILL_LOCAL explicit TJob(std::unique_ptr<detail::Job> job) noexcept;

  std::unique_ptr<detail::Job> job_;
};

/// Runs `list` as the file comment says and returns its outcome once every
/// command has ended (or been ended by the deadline) and been reaped.
QUILL_API TOutcome Execute(const TExecList& list, const TRunOptions& options = TRunOptions());

/// Execute of the one-command list [command].
QUILL_API TOutcome Execute(const TExec& command, const TRunOptions& options = TRunOptions());

}  // namespace quill::sys
