#include <quill/sys/prepare.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/child.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>

namespace quill::sys {

namespace {

void raiseIfFailed(int errorNumber) {
  if (errorNumber != 0) throw TSysCallErr(errorNumber);
}

void openOntoOrRaise(const std::string& fileName, int flags, int target) {
  const int failure = detail::openOnto(fileName.c_str(), flags, target);
  if (failure != 0) throwSystemError(fileName + ": open failed", failure);
}

void makePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) == -1) throw TSysCallErr(errno);
}

// The writer process of a long standard-input text. Runs in a process forked
// from the child before exec: it must not allocate, must not throw, must not
// touch stdio (the caller's pending buffers would be flushed into the
// program's input) and leaves through _exit only, never exit. It keeps no
// descriptor but the pipe's write end, so that it holds no other pipe open.
[[noreturn]] void feedText(int writeEnd, const char* data, std::size_t size) noexcept {
  // A reader that stops early is normal: end quietly on EPIPE.
  signal(SIGPIPE, SIG_IGN);
  if (writeEnd > 0) close_range(0, static_cast<unsigned>(writeEnd) - 1, 0);
  close_range(static_cast<unsigned>(writeEnd) + 1, ~0U, 0);
  detail::writeAll(writeEnd, data, size);
  _exit(0);
}

// Starts the writer as a grandchild: the process in between ends at once, so
// the writer is orphaned and reaped by init instead of lingering as a zombie
// child of the program, which knows nothing of it. Runs in the child before
// exec. The in-between process reports a failed fork through its exit code.
void startWriter(int fds[2], const std::string& text) {
  const pid_t middle = fork();
  if (middle == -1) throw TSysCallErr(errno);
  if (middle == 0) {
    const pid_t writer = fork();
    if (writer == 0) feedText(fds[1], text.data(), text.size());
    _exit(writer == -1 ? errno : 0);
  }
  int status = 0;
  while (waitpid(middle, &status, 0) == -1) {
    if (errno != EINTR) throw TSysCallErr(errno);
  }
  if (!WIFEXITED(status)) throw TSysCallErr(ECHILD);
  raiseIfFailed(WEXITSTATUS(status));
}

}  // namespace

TUnionPrep::TUnionPrep(const TSharedPtr<TExec::TPrepare>& f, const TSharedPtr<TExec::TPrepare>& s)
    : first(f), second(s) {}
TUnionPrep::~TUnionPrep() = default;

void TUnionPrep::BeforeFork(const TExec& cmd) {
  if (first) first->BeforeFork(cmd);
  if (second) second->BeforeFork(cmd);
}

bool TUnionPrep::OnForkError(const TExec& cmd) {
  if (first) first->OnForkError(cmd);
  return second ? second->OnForkError(cmd) : true;
}

void TUnionPrep::InParent(const TExec& cmd) {
  if (first) first->InParent(cmd);
  if (second) second->InParent(cmd);
}

void TUnionPrep::InChild(const TExec& cmd) {
  if (first) first->InChild(cmd);
  if (second) second->InChild(cmd);
}

void TUnionPrep::BeforeExec(const TExec& cmd) {
  if (first) first->BeforeExec(cmd);
  if (second) second->BeforeExec(cmd);
}

bool TUnionPrep::OnExecError(const TExec& cmd) {
  if (first) first->OnExecError(cmd);
  return second ? second->OnExecError(cmd) : true;
}

TFromFile::TFromFile(const std::string& name) : fileName(name) {}
TFromFile::~TFromFile() = default;

void TFromFile::InChild(const TExec&) {
  openOntoOrRaise(fileName, O_RDONLY, STDIN_FILENO);
}

TToFile::TToFile(const std::string& name, bool appending) : fileName(name), append(appending) {}
TToFile::~TToFile() = default;

void TToFile::InChild(const TExec&) {
  openOntoOrRaise(fileName, detail::writeFlags(append), STDOUT_FILENO);
}

TRedirect::TRedirect(int target, int source) : fd(target), srcFd(source) {}
TRedirect::~TRedirect() = default;

void TRedirect::InChild(const TExec&) {
  if (fd == srcFd) {
    // Keeping the descriptor is what was asked; only make it survive exec.
    raiseIfFailed(detail::moveFd(srcFd, fd));
  } else if (dup2(srcFd, fd) == -1) {
    throw TSysCallErr(errno);
  }
}

TRedirectToFile::TRedirectToFile(int target, const std::string& name, bool appending)
    : fd(target), fileName(name), append(appending) {}
TRedirectToFile::~TRedirectToFile() = default;

void TRedirectToFile::InChild(const TExec&) {
  openOntoOrRaise(fileName, detail::writeFlags(append), fd);
}

TReadFromStr::TReadFromStr(const std::string& content) : text(content) {}
TReadFromStr::~TReadFromStr() = default;

void TReadFromStr::InChild(const TExec&) {
  int fds[2];
  makePipe(fds);
  try {
    const int capacity = fcntl(fds[1], F_GETPIPE_SZ);
    if (capacity > 0 && text.size() <= static_cast<std::size_t>(capacity)) {
      // An empty pipe takes the whole text without blocking: no writer needed.
      raiseIfFailed(detail::writeAll(fds[1], text.data(), text.size()));
    } else {
      startWriter(fds, text);
    }
    detail::closeFd(fds[1]);
    raiseIfFailed(detail::moveFd(fds[0], STDIN_FILENO));
  } catch (...) {
    detail::closeFd(fds[0]);
    detail::closeFd(fds[1]);
    throw;
  }
}

TReadOut::TReadOut() : fds{-1, -1} {}
TReadOut::~TReadOut() = default;

void TReadOut::BeforeFork(const TExec&) {
  makePipe(fds);
}

void TReadOut::InParent(const TExec&) {
  detail::closeFd(fds[1]);
}

void TReadOut::InChild(const TExec&) {
  close(fds[0]);
  raiseIfFailed(detail::moveFd(fds[1], STDOUT_FILENO));
}

TWriteToPipeline::TWriteToPipeline(const TSharedPtr<PipePair>& shared) : pipe(shared) {}
TWriteToPipeline::~TWriteToPipeline() = default;

void TWriteToPipeline::BeforeFork(const TExec&) {
  detail::closeFd(pipe->fds[0]);
  detail::closeFd(pipe->fds[1]);
  makePipe(pipe->fds);
}

void TWriteToPipeline::InChild(const TExec&) {
  close(pipe->fds[0]);
  raiseIfFailed(detail::moveFd(pipe->fds[1], STDOUT_FILENO));
}

TReadFromPipeline::TReadFromPipeline(const TSharedPtr<PipePair>& shared) : pipe(shared) {}
TReadFromPipeline::~TReadFromPipeline() = default;

void TReadFromPipeline::InParent(const TExec&) {
  detail::closeFd(pipe->fds[0]);
  detail::closeFd(pipe->fds[1]);
}

void TReadFromPipeline::InChild(const TExec&) {
  close(pipe->fds[1]);
  raiseIfFailed(detail::moveFd(pipe->fds[0], STDIN_FILENO));
}

}  // namespace quill::sys
