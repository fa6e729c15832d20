#pragma once
/// @file
/// Command lists: sequences, pipelines and runs with captured output.
///
/// A TExecList is an ordered list of commands (values; copies share each
/// command's argument vector and preparation). The building operations return
/// a new list and leave their operands unchanged. RunAndRead and ReadOutput
/// start every command before reading anything, capture the last command's
/// standard output and reap every child they started; when starting fails
/// half-way, the children already started are killed and reaped and the
/// pipes made so far are closed before the error propagates. Errors: those
/// of TExec::Run, the SystemError family for failed reads and waits, and
/// std::runtime_error from ReadOutput for a failed child. Not thread-safe.

#include <quill/errors/shared_ptr.h>
#include <quill/export.h>
#include <quill/sys/exec.h>
#include <quill/sys/prepare.h>

#include <cstddef>
#include <initializer_list>
#include <list>
#include <string>
#include <vector>

namespace quill::sys {

/// An ordered list of commands, started in list order. The settings
/// (settings.h) apply to every command of a copy of the list, so each stage
/// of a pipeline gets them; AsUser by name reads the user database once.
class QUILL_API TExecList : public TSettable<TExecList> {
 public:
  /// Iterator over the commands.
  using iterator = std::list<TExec>::iterator;
  /// Read-only iterator over the commands.
  using const_iterator = std::list<TExec>::const_iterator;

  /// An empty list.
  TExecList() = default;
  /// The one-command list [cmd].
  explicit TExecList(const TExec& cmd);
  /// The commands given, in order.
  TExecList(std::initializer_list<TExec> cmds);

  /// Appends a command.
  void push_back(const TExec& cmd) { commands_.push_back(cmd); }
  /// Number of commands.
  std::size_t size() const noexcept { return commands_.size(); }
  /// True when the list holds no command.
  bool empty() const noexcept { return commands_.empty(); }
  /// The first command; the list must not be empty.
  TExec& front() { return commands_.front(); }
  /// The first command; the list must not be empty.
  const TExec& front() const { return commands_.front(); }
  /// The last command; the list must not be empty.
  TExec& back() { return commands_.back(); }
  /// The last command; the list must not be empty.
  const TExec& back() const { return commands_.back(); }
  /// First command.
  iterator begin() noexcept { return commands_.begin(); }
  /// Past the last command.
  iterator end() noexcept { return commands_.end(); }
  /// First command.
  const_iterator begin() const noexcept { return commands_.begin(); }
  /// Past the last command.
  const_iterator end() const noexcept { return commands_.end(); }

  /// In place: TExec::AddPrep of `p` on the last command; nothing when empty.
  void AddPrepToLast(const TSharedPtr<TExec::TPrepare>& p);

 private:
  std::list<TExec> commands_;
};

extern template class TSettable<TExecList>;

/// [a, b].
QUILL_API TExecList Sequence(const TExec& a, const TExec& b);
/// [a] followed by the commands of `l`.
QUILL_API TExecList Sequence(const TExec& a, const TExecList& l);
/// The commands of `l` followed by b.
QUILL_API TExecList Sequence(const TExecList& l, const TExec& b);
/// The commands of `l` followed by those of `m`.
QUILL_API TExecList Sequence(const TExecList& l, const TExecList& m);

/// a's standard output feeds b's standard input. The writer of the new pipe
/// and the first command of the result no longer wait, so that every stage
/// runs at once.
QUILL_API TExecList Pipe(const TExec& a, const TExec& b);
/// The last command of `l` feeds b. An empty side gives a copy of the other.
QUILL_API TExecList Pipe(const TExecList& l, const TExec& b);
/// a feeds the first command of `l`. An empty side gives a copy of the other.
QUILL_API TExecList Pipe(const TExec& a, const TExecList& l);
/// The last command of `l` feeds the first of `m`. An empty side gives a
/// copy of the other, unchanged.
QUILL_API TExecList Pipe(const TExecList& l, const TExecList& m);

/// A copy of `l` whose last command reads standard input from `path`.
QUILL_API TExecList StdinFromFile(const TExecList& l, const std::string& path);
/// A copy of `l` whose last command writes standard output to `path`.
QUILL_API TExecList StdoutToFile(const TExecList& l, const std::string& path);
/// A copy of `l` whose last command appends standard output to `path`.
QUILL_API TExecList StdoutAppendToFile(const TExecList& l, const std::string& path);
/// A copy of `l` whose last command gets the redirection `r`.
QUILL_API TExecList WithRedirect(const TExecList& l, const TRedirect& r);
/// A copy of `l` whose last command gets the file redirection `r`.
QUILL_API TExecList WithRedirectToFile(const TExecList& l, const TRedirectToFile& r);
/// A copy of `l` whose last command reads `text` as standard input.
QUILL_API TExecList StdinFromString(const TExecList& l, const std::string& text);
/// A copy of `l` whose first command reads its standard input from the
/// caller (TExec::StdinFromCaller).
QUILL_API TExecList StdinFromCaller(const TExecList& l);

/// Runs the commands in order with their own flags and returns the last
/// one's result; (0, 0) for an empty list. When the last command is waited
/// for, the earlier commands that feed a pipe of the list and were not
/// waited for are reaped as well. No command runs when one of them has an
/// empty argument vector (TEArgs::TEArgsError).
QUILL_API TRunResult RunAll(const TExecList& l);

/// The wait status of `pid` once it has ended (a stopped child is waited for
/// until it exits or is killed), retried when interrupted; 0 when there is
/// no such child. Other failures raise the
/// SystemError family with "waitpid() failed".
QUILL_API int WaitChild(int pid);

/// Runs `l` with the last command's standard output captured into `out`
/// and its wait status in `status`; every command is started at once (their
/// Wait bits are ignored) and every child started is reaped. An empty list
/// leaves both unchanged. A failed read raises the SystemError family with
/// "read() failed"; on any error `out` is unchanged. An output past 256 KiB
/// may leave `out` with a capacity of up to eight times its length: address
/// space reserved while reading, of which about the length is memory in
/// use (shrink_to_fit() gives the rest back at the cost of a copy).
QUILL_API void RunAndRead(std::string& out, int& status, const TExecList& l);

/// The captured standard output of `l`'s last command; "" for an empty list.
/// Raises std::runtime_error "child failed (status=N): <output>" when the
/// child did not exit normally, "child failed (exit code=N): <output>" when
/// it exited with a code other than 0.
QUILL_API std::string ReadOutput(const TExecList& l);

/// ReadOutput of the one-command list [a].
QUILL_API std::string ReadOutput(const TExec& a);

/// What the system's `file -bL` prints for `path` (trailing newline
/// included); the path is passed as one argument after "--", no shell
/// involved. Errors as ReadOutput.
QUILL_API std::string FileType(const std::string& path);

}  // namespace quill::sys
