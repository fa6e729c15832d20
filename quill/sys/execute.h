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
/// With TRunOptions::cgroup a run is confined to a leaf cgroup of its own:
/// every command starts inside it, with its limits, and whatever the
/// commands start (a daemon that left their session and closed every
/// descriptor too) is in it, ended with the run and counted in
/// TOutcome::usage; the leaf is removed after the run.
///
/// Errors raised: TEArgs::TEArgsError for an empty argument vector, the
/// SystemError family (TSysCallErr) when pipes or children cannot be made,
/// and std::runtime_error (SystemError among others) when the run's cgroup
/// cannot be had; in every case nothing the run started is left running or
/// unreaped.
/// Preparations of the user's keep their hooks (BeforeFork and InParent in
/// the caller, InChild and BeforeExec in a fully forked child) and are as
/// thread-safe as they make themselves; so is a TReadOut, whose pipe lives
/// in the preparation.

#include <quill/export.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/outcome.h>
#include <quill/sys/run_options.h>

#include <sys/types.h>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quill::sys {

namespace detail {
class Job;
}

class TJob;

/// Drives every job of `jobs` until one is done and returns its index, or
/// jobs.size() when `timeout` passed first (a negative one waits without
/// limit). Jobs already waited for (Wait called) or moved from are skipped;
/// when none is left, returns jobs.size() at once. The caller takes the
/// outcome with jobs[i].Wait(), which then returns without blocking.
QUILL_API std::size_t WaitAny(std::vector<TJob>& jobs, std::chrono::milliseconds timeout);

/// Starts `list` as Execute does and returns at once; the deadline runs from
/// now.
QUILL_API TJob Start(const TExecList& list, const TRunOptions& options = TRunOptions());

/// A run started in the background. Nothing runs it in the background: no
/// thread of the library's exists. The run makes progress (reads the
/// output, feeds the input, enforces the deadline, reaps the children) only
/// while its owner drives it: Wait() drives it to its end, Done() does what
/// can be done now, WaitAny() drives many at once, or a loop of the owner's
/// (poll, epoll, Boost.Asio) calls Done() whenever Fd() is readable. A job
/// nobody drives still ends and reaps everything when it is destroyed.
/// Move-only; a job that is destroyed without having been waited for ends
/// its commands (SIGKILL, per its kill scope) and reaps them.
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

  /// Drives the run to its end, honouring its deadline, and returns its
  /// outcome. Call it once: a second call raises std::logic_error.
  TOutcome Wait();
  /// Does what can be done now (reads and writes what the pipes have ready,
  /// looks at the deadline and the children); true once the run is over
  /// (Wait then returns at once). Never blocks.
  bool Done();
  /// Sends `sig` to every command still running, per the kill scope.
  void Signal(int sig);
  /// The process ids of the commands, in list order.
  std::vector<pid_t> Pids() const;
  /// Readable whenever Done() can make progress: output ready, input
  /// writable, a child ended, the deadline or the drain bound passed. For
  /// poll, epoll or an event loop; valid until the job is destroyed; never
  /// to be read or closed by the caller. -1 for a job without a run.
  int Fd() const;
  /// Queues `bytes` for the standard input of the first command, which must
  /// read from the caller (StdinFromCaller); never blocks: the bytes go out
  /// as the pipe takes them while the job is driven. Raises
  /// std::logic_error after CloseStdin, once the run is over, or without
  /// StdinFromCaller.
  void Write(std::string_view bytes);
  /// Ends that input once the queue is written.
  void CloseStdin();

 private:
  friend TJob Start(const TExecList& list, const TRunOptions& options);
  friend std::size_t WaitAny(std::vector<TJob>& jobs, std::chrono::milliseconds timeout);
  QUILL_LOCAL explicit TJob(std::unique_ptr<detail::Job> job) noexcept;

  std::unique_ptr<detail::Job> job_;
};

/// Runs `list` as the file comment says and returns its outcome once every
/// command has ended (or been ended by the deadline) and been reaped.
QUILL_API TOutcome Execute(const TExecList& list, const TRunOptions& options = TRunOptions());

/// Execute of the one-command list [command].
QUILL_API TOutcome Execute(const TExec& command, const TRunOptions& options = TRunOptions());

}  // namespace quill::sys
