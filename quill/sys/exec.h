#pragma once
/// @file
/// One command to run: its argument vector, flag bits and preparation.
///
/// TExec is a value; copies share the argument vector and the preparation.
/// Run forks (with the Fork bit), lets the preparation set up the child's
/// descriptors, executes the program and optionally waits for it. A forked
/// child never returns into the caller's code: when a hook, a setting or
/// exec fails there, the child writes one line to its standard error and
/// ends with _exit(127) when the program was not found, _exit(126)
/// otherwise. Errors raised in the caller: TSysCallErr (fork, exec without
/// Fork, waitpid), TEArgs::TEArgsError (empty argument vector) and whatever
/// the preparation's parent-side hooks raise. A command and its copies stay
/// on one thread, except that Execute and Start (execute.h) may run one
/// command from many threads at once.
///
/// A command whose preparations are all the library's own (files,
/// redirections, standard input from a string, capture, pipeline ends and
/// the settings below) is started without copying the caller's memory, so
/// its cost does not grow with the caller; a preparation of the user's
/// (including a subclass of the library's) gets a full fork, in which its
/// InChild hook may allocate and raise.
///
/// The settings (settings.h: environment, directory, umask, identity,
/// limits, session, parent-death signal) are data the command carries,
/// gathered in the caller and applied in the child before its descriptors
/// are set up. A setting that fails ends the child like any set-up failure,
/// with one line "<program>: <step> <operand>: <reason>" (for example
/// "chdir /srv/x: No such file or directory") and exit code 126.
///
/// Run and Execute refuse, before anything starts, a command whose program
/// name or arguments hold a zero byte (std::invalid_argument): the system
/// would cut such a word short.

#include <quill/errors/errors.h>
#include <quill/errors/shared_ptr.h>
#include <quill/export.h>
#include <quill/sys/args.h>
#include <quill/sys/settings.h>

#include <sys/resource.h>
#include <sys/types.h>
#include <cstdint>
#include <string>
#include <vector>

namespace quill::sys {

class TRedirect;
class TRedirectToFile;

/// What Run reports: the child's process id (-1 when a preparation asked
/// for a failure result instead of an error) and, with the Wait bit, the
/// child's exit code (-1 when a signal ended it); otherwise 0.
struct QUILL_API TRunResult {
  /// Process id of the child.
  std::int32_t pid;
  /// Exit code of the waited child, -1 for a signal, 0 when not waited.
  std::int32_t exitCode;
};

/// One command: argument vector, flags, the preparation that sets up the
/// child's descriptors and the child's settings. Operations named With...,
/// the settings and the redirections return a new command and leave this
/// one unchanged.
class QUILL_API TExec : public TSettable<TExec> {
 public:
  /// Flag bit: run the program in a forked child (else replace this process).
  static constexpr std::uint64_t Fork = 1;
  /// Flag bit: wait for the forked child in Run.
  static constexpr std::uint64_t Wait = 2;
  /// Flag bit: look the program up in PATH.
  static constexpr std::uint64_t SearchPath = 4;

  class TPrepare;

  /// A command running `args` with `flags` and no preparation.
  TExec(const TEArgs& args, std::uint64_t flags);

  /// Runs the command; see the header comment for where failures end up.
  /// Without Fork a successful run never returns (this process becomes the
  /// program). Raises TEArgs::TEArgsError for an empty argument vector
  /// before any hook runs.
  TRunResult Run() const;

  /// Replaces this process image with the program (execvp when `searchPath`,
  /// else execv; the environment is inherited, the settings are not
  /// applied). Returns only when exec failed: -1, with errno set. Raises
  /// TEArgs::TEArgsError for an empty argument vector.
  int Exec(bool searchPath) const;

  /// Adds `p` after the current preparation: the hooks of both run, the
  /// current one's first.
  void AddPrep(const TSharedPtr<TPrepare>& p);

  /// A copy with the flags replaced by `value`.
  TExec WithFlags(std::uint64_t value) const;
  /// A copy with the flags ANDed with `mask`.
  TExec WithFlagsAnd(std::uint64_t mask) const;
  /// A copy with the flags ORed with `mask`.
  TExec WithFlagsOr(std::uint64_t mask) const;
  /// A copy with the flags XORed with `mask`.
  TExec WithFlagsXor(std::uint64_t mask) const;
  /// A copy whose preparation is `p` (shared) instead of the current one.
  TExec WithPrep(const TSharedPtr<TPrepare>& p) const;

  /// A copy whose standard input is read from the file `path`.
  TExec StdinFromFile(const std::string& path) const;
  /// A copy whose standard output goes to `path`, created or truncated.
  TExec StdoutToFile(const std::string& path) const;
  /// A copy whose standard output is appended to `path`, created if missing.
  TExec StdoutAppendToFile(const std::string& path) const;
  /// A copy with descriptor `r.fd` made a copy of `r.srcFd` in the child.
  TExec WithRedirect(const TRedirect& r) const;
  /// A copy with descriptor `r.fd` writing to the file `r.fileName`.
  TExec WithRedirectToFile(const TRedirectToFile& r) const;
  /// A copy whose standard input reads `text` and then end of file: through
  /// a pipe when the pipe holds it whole, else from an anonymous file;
  /// Execute feeds it through a pipe while it reads the output.
  TExec StdinFromString(const std::string& text) const;
  /// A copy whose standard input is a pipe fed by TJob::Write (Start);
  /// Execute closes it at once, and Run gives an empty input.
  TExec StdinFromCaller() const;

  /// The argument vector; element 0 is the program.
  TEArgs args;
  /// Fork, Wait and SearchPath bits; other bits are carried along unused.
  std::uint64_t flags;
  /// The preparation, empty when there is none.
  TSharedPtr<TPrepare> prep;
  /// Who, where and with what the program runs (settings.h); kept by
  /// WithPrep, which replaces the preparation only.
  TChildSettings settings;
};

extern template class TSettable<TExec>;

/// A preparation: hooks the executor calls around fork and exec of one
/// command to set up the child. Every hook receives the command being run.
/// Hooks are called only by Run.
class QUILL_API TExec::TPrepare {
 public:
  virtual ~TPrepare();

  /// In the caller, before fork (only when the command forks). May raise;
  /// nothing has been forked yet.
  virtual void BeforeFork(const TExec& cmd);
  /// In the caller when fork failed: true to have Run raise TSysCallErr,
  /// false to have it return pid -1.
  virtual bool OnForkError(const TExec& cmd);
  /// In the caller after a successful fork.
  virtual void InParent(const TExec& cmd);
  /// In the child right after fork, before exec. An exception ends the
  /// child with a line on its standard error and exit code 126.
  virtual void InChild(const TExec& cmd);
  /// In the process about to exec: the child, or the caller without Fork.
  virtual void BeforeExec(const TExec& cmd);
  /// In the process in which exec failed: true to report the failure (an
  /// error in the caller; a line on standard error in a forked child),
  /// false for a failure result (pid -1) or a quiet exit in a forked child.
  virtual bool OnExecError(const TExec& cmd);
};

}  // namespace quill::sys
