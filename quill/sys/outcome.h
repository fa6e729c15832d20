#pragma once
/// @file
/// How a run of Execute or Start (execute.h) ended: per command and as a
/// whole, what it used, with one line for a log.
///
/// The layout of TStage and TOutcome stays the same for every 2.x release:
/// what a later release adds goes into an object the library owns (the
/// private extension), reached through member functions.

#include <quill/export.h>

#include <sys/types.h>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quill::sys {

namespace detail {
class Job;
}

/// One child's own use of the machine: the resource usage of the reaped
/// child, as wait4 reports it (its own and that of the children it waited
/// for; not that of a process it left behind, which the run's cgroup
/// counts, TRunUsage).
struct TUsage {
  /// False when it could not be had (the child was reaped by someone else).
  bool known = false;
  /// CPU time in user mode.
  std::chrono::microseconds userCpu{0};
  /// CPU time in the kernel.
  std::chrono::microseconds systemCpu{0};
  /// Its largest resident set, in bytes.
  std::uint64_t maxRss = 0;
};

/// What a whole run used, read from its cgroup before the cgroup is
/// removed: the commands and everything they started.
struct TRunUsage {
  /// False when the run had no cgroup of its own.
  bool known = false;
  /// CPU time of every process that ran in the cgroup, cpu.stat usage_usec.
  std::chrono::microseconds cpu{0};
  /// memory.peak where the memory controller is on, else 0.
  std::uint64_t memoryPeak = 0;
  /// Processes the out-of-memory killer ended, memory.events oom_kill.
  std::uint64_t oomKills = 0;
  /// Forks refused by pidsMax, pids.events max.
  std::uint64_t pidsLimitHits = 0;
};

/// How one command of a run ended.
struct QUILL_API TStage {
  /// Its process id; -1 when it was never started.
  pid_t pid = -1;
  /// False when its end could not be observed (SIGCHLD ignored, reaped by
  /// someone else).
  bool statusKnown = false;
  /// Its exit code when it exited, else -1.
  int exitCode = -1;
  /// The signal that ended it, else 0.
  int signal = 0;
  /// The errno of the set-up step or exec that failed, else 0.
  int setupError = 0;
  /// That step in words with its operand ("exec /no/such", "open /x onto
  /// 1", "chdir /srv"), else "". A command ended by a signal while a step
  /// of its set-up blocked names that step, with EINTR.
  std::string setupStep;
  /// What it used.
  TUsage usage;

 private:
  std::shared_ptr<void> extension_;  // what a later 2.x release adds
};

/// What a run produced and how each of its commands ended.
struct QUILL_API TOutcome {
  /// The last command's standard output (and standard error with
  /// mergeStderr).
  std::string out;
  /// Every command's standard error, as they wrote it.
  std::string err;
  /// True when maxOutput dropped bytes from `out` or `err`.
  bool truncated = false;
  /// True when the deadline passed before the run was over.
  bool timedOut = false;
  /// One per command, in list order.
  std::vector<TStage> stages;
  /// What the whole run used (with TRunOptions::cgroup).
  TRunUsage usage;

  /// Not timed out, and every stage known and exited with 0.
  bool Ok() const;
  /// The last stage's exit code; -1 when there is none.
  int ExitCode() const;
  /// One line for a log: each command shell-quoted and how it ended, the
  /// stages of a pipeline joined by " | ", others by "; ".
  std::string Describe() const;

 private:
  friend class detail::Job;
  std::vector<std::vector<std::string>> commands_;  // each stage's words
  std::vector<bool> piped_;                         // stage i feeds stage i + 1
  std::shared_ptr<void> extension_;                 // what a later 2.x release adds
};

}  // namespace quill::sys
