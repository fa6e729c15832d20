#pragma once
/// @file
/// The preparations that set up a child's descriptors.
///
/// What each of them does in the child is stated once, as data, beside its
/// class; the runners start a command whose preparations are all of these
/// without a full fork, and their InChild hooks replay the same data. A
/// subclass is treated as a preparation of the user's.
///
/// Each is held through TSharedPtr and attached to a command with
/// TExec::AddPrep (or the With.../Stdin.../Stdout... operations); several on
/// one command run in the order they were added, in every phase. The hooks
/// named InChild run in the child between fork and exec. Pipes made here are
/// close-on-exec, so no program inherits a stray end; only the descriptors a
/// preparation sets up on purpose with dup2 survive exec. A descriptor member
/// that holds no open descriptor is -1. A file or descriptor that cannot be
/// set up ends the child with a line on its standard error and exit code 126
/// instead of running the program without it.

#include <quill/errors/shared_ptr.h>
#include <quill/export.h>
#include <quill/sys/exec.h>

#include <string>

namespace quill::sys {

/// Two preparations run as one: every hook runs on `first`, then on
/// `second` (either may be empty). The error hooks answer with `second`'s
/// answer, true when it is empty.
class QUILL_API TUnionPrep : public TExec::TPrepare {
 public:
  /// Shares both preparations.
  TUnionPrep(const TSharedPtr<TExec::TPrepare>& first, const TSharedPtr<TExec::TPrepare>& second);
  ~TUnionPrep() override;

  /// Runs BeforeFork of first, then of second.
  void BeforeFork(const TExec& cmd) override;
  /// Runs both; answers with second's answer.
  bool OnForkError(const TExec& cmd) override;
  /// Runs InParent of first, then of second.
  void InParent(const TExec& cmd) override;
  /// Runs InChild of first, then of second (in the child).
  void InChild(const TExec& cmd) override;
  /// Runs BeforeExec of first, then of second.
  void BeforeExec(const TExec& cmd) override;
  /// Runs both; answers with second's answer.
  bool OnExecError(const TExec& cmd) override;

  /// The preparation that runs first.
  TSharedPtr<TExec::TPrepare> first;
  /// The preparation that runs second.
  TSharedPtr<TExec::TPrepare> second;
};

/// Standard input read from a file.
class QUILL_API TFromFile : public TExec::TPrepare {
 public:
  /// Standard input from `fileName`.
  explicit TFromFile(const std::string& fileName);
  ~TFromFile() override;
  /// Opens the file read-only onto descriptor 0 (in the child). Raises the
  /// SystemError family with "<file>: open failed" when it cannot.
  void InChild(const TExec& cmd) override;

  /// The file to read.
  std::string fileName;
};

/// Standard output written to a file (mode 0664 less the umask if created).
class QUILL_API TToFile : public TExec::TPrepare {
 public:
  /// Standard output to `fileName`, appended when `append`, else truncated.
  TToFile(const std::string& fileName, bool append);
  ~TToFile() override;
  /// Opens the file onto descriptor 1 (in the child). Raises the
  /// SystemError family with "<file>: open failed" when it cannot.
  void InChild(const TExec& cmd) override;

  /// The file to write.
  std::string fileName;
  /// Append to the file instead of truncating it.
  bool append;
};

/// One descriptor made a copy of another in the child.
class QUILL_API TRedirect : public TExec::TPrepare {
 public:
  /// Descriptor `fd` becomes a copy of `srcFd`.
  TRedirect(int fd, int srcFd);
  ~TRedirect() override;
  /// Duplicates srcFd onto fd (in the child); raises TSysCallErr when
  /// srcFd is not open.
  void InChild(const TExec& cmd) override;

  /// The descriptor to replace.
  int fd;
  /// The descriptor that fd becomes a copy of.
  int srcFd;
};

/// Any descriptor written to a file (mode 0664 less the umask if created).
class QUILL_API TRedirectToFile : public TExec::TPrepare {
 public:
  /// Descriptor `fd` to `fileName`, appended when `append`, else truncated.
  TRedirectToFile(int fd, const std::string& fileName, bool append);
  ~TRedirectToFile() override;
  /// Opens the file onto fd (in the child). Raises the SystemError family
  /// with "<file>: open failed" when it cannot.
  void InChild(const TExec& cmd) override;

  /// The descriptor to replace.
  int fd;
  /// The file to write.
  std::string fileName;
  /// Append to the file instead of truncating it.
  bool append;
};

/// Standard input fed from a string. The child writes a text that its pipe
/// holds whole into the pipe before exec; a longer one goes into an
/// anonymous file that the program reads instead, so no writer process
/// exists and nothing is left for the caller (or a subreaper) to reap.
class QUILL_API TReadFromStr : public TExec::TPrepare {
 public:
  /// Standard input reads `text`, then end of file.
  explicit TReadFromStr(const std::string& text);
  ~TReadFromStr() override;
  /// Sets up the text as standard input (in the child); raises TSysCallErr
  /// when the pipe or the file cannot be made or written.
  void InChild(const TExec& cmd) override;

  /// The bytes the program reads.
  std::string text;
};

/// Capture of standard output into a pipe that the caller reads. Each run
/// makes a fresh pipe; after Run the caller owns the read end, fds[0], and
/// closes it when done.
class QUILL_API TReadOut : public TExec::TPrepare {
 public:
  /// No pipe yet: both descriptors -1.
  TReadOut();
  ~TReadOut() override;
  /// Makes the pipe (in the caller); raises TSysCallErr when pipe fails.
  void BeforeFork(const TExec& cmd) override;
  /// Closes the write end in the caller.
  void InParent(const TExec& cmd) override;
  /// Makes the write end the child's standard output.
  void InChild(const TExec& cmd) override;

  /// Read end, then write end of the capture pipe; -1 when closed.
  int fds[2];
};

/// The pipe between two commands of a pipeline, shared by the writer's
/// TWriteToPipeline and the reader's TReadFromPipeline. The writer is
/// started first: its BeforeFork makes the pipe, the reader's InParent
/// closes both ends in the caller.
struct QUILL_API PipePair {
  /// Read end, then write end; -1 when not open in the caller.
  int fds[2] = {-1, -1};
};

/// Standard output into a pipeline's pipe.
class QUILL_API TWriteToPipeline : public TExec::TPrepare {
 public:
  /// Writes into the pipe of `pipe`.
  explicit TWriteToPipeline(const TSharedPtr<PipePair>& pipe);
  ~TWriteToPipeline() override;
  /// Makes the pipe (in the caller), closing ends a failed run left open;
  /// raises TSysCallErr when pipe fails. The caller keeps both ends for the
  /// reader.
  void BeforeFork(const TExec& cmd) override;
  /// Makes the write end the child's standard output.
  void InChild(const TExec& cmd) override;

  /// The shared pipe.
  TSharedPtr<PipePair> pipe;
};

/// Standard input from a pipeline's pipe.
class QUILL_API TReadFromPipeline : public TExec::TPrepare {
 public:
  /// Reads from the pipe of `pipe`.
  explicit TReadFromPipeline(const TSharedPtr<PipePair>& pipe);
  ~TReadFromPipeline() override;
  /// Closes both ends in the caller: from now on only the children hold them.
  void InParent(const TExec& cmd) override;
  /// Makes the read end the child's standard input.
  void InChild(const TExec& cmd) override;

  /// The shared pipe.
  TSharedPtr<PipePair> pipe;
};

}  // namespace quill::sys
