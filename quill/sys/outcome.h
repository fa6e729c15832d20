#pragma once
/// @file
/// How a run of Execute or Start (execute.h) ended: per command and as a
/// whole, with one line for a log.

#include <quill/export.h>

#include <sys/types.h>
#include <string>
#include <vector>

namespace quill::sys {

namespace detail {
class Job;
}

/// How one command of a run ended.
struct TStage {
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
  /// 1", "chdir /srv"), else "".
  std::string setupStep;
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
};

}  // namespace quill::sys
