#pragma once
/// @file
/// How Execute and Start (execute.h) run a list: the deadline, the output
/// kept, the run's own cgroup with its limits, and where the output goes as
/// it arrives.

#include <quill/export.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quill::sys {

/// What a deadline, TJob::Signal and the end of a job reach: the child
/// alone, its whole process group (each command then runs in a process
/// group of its own), or every process in the run's cgroup, whichever
/// session or group it is in (which needs TRunOptions::cgroup; the run is
/// then over only once the cgroup is empty). With a cgroup, whatever the
/// scope, what is left in it once every command has ended is ended too.
enum class TKillScope { Child, ProcessGroup, Cgroup };

/// Limits written into a run's cgroup before any command starts; 0: not
/// set. Each needs its controller (memory, pids, cpu) available in the
/// parent cgroup, which the run enables there for its leaves.
struct TCgroupLimits {
  /// Bytes, memory.max: past it the kernel's out-of-memory killer ends a
  /// process of the run (SIGKILL; TRunUsage::oomKills counts them).
  std::uint64_t memoryMax = 0;
  /// Bytes, memory.high: past it the run is slowed down and made to give
  /// memory back.
  std::uint64_t memoryHigh = 0;
  /// Processes, pids.max: a fork past it fails (TRunUsage::pidsLimitHits
  /// counts them).
  std::uint64_t pidsMax = 0;
  /// CPU time per period, cpu.max.
  std::chrono::microseconds cpuQuota{0};
  /// The period of cpuQuota.
  std::chrono::microseconds cpuPeriod{100000};
};

/// How Execute and Start run a list.
///
/// The layout of this struct, of TStage and of TOutcome stays the same for
/// every 2.x release: what a later release adds goes into an object the
/// library owns, reached through member functions.
struct QUILL_API TRunOptions {
  /// The deadline, counted from the start of the first command; 0: none, a
  /// negative one has passed already (the commands are ended at once). Too
  /// long a span for the clock is no deadline.
  std::chrono::milliseconds timeout{0};
  /// On timeout, SIGTERM first, then SIGKILL once this has passed. Also
  /// bounds how long pipes are read after the last command has ended. A
  /// negative one counts as 0.
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
  /// A delegated cgroup v2 directory: every run gets a fresh leaf under it,
  /// with `limits`, holding all of its commands (instead of a cgroup of
  /// their own, InCgroup) and what they start, removed after the run. "":
  /// none. Raises std::runtime_error naming the directory, before anything
  /// starts, when it is no cgroup v2 directory or lacks a controller the
  /// limits need, and the SystemError family when the leaf cannot be made.
  std::string cgroup;
  /// Written into the run's leaf before any command starts.
  TCgroupLimits limits;
  /// Called with 1 or 2 and the bytes of standard output or error as they
  /// arrive, in the thread that drives the run; what it is given is not
  /// kept in the outcome.
  std::function<void(int stream, std::string_view bytes)> onOutput;
  /// Called with 1 or 2 and each whole line (without its newline) as it
  /// arrives; a last line without a newline comes at the end as it is. Not
  /// with onOutput (std::invalid_argument).
  std::function<void(int stream, std::string_view line)> onLine;
  /// A longer line is delivered to onLine in pieces of this size.
  std::size_t maxLine = std::size_t{64} * 1024;

 private:
  std::shared_ptr<void> extension_;  // what a later 2.x release adds
};

}  // namespace quill::sys
