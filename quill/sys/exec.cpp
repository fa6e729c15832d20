#include <quill/sys/exec.h>

#include <quill/sys/detail/child.h>
#include <quill/sys/detail/run.h>
#include <quill/sys/detail/spawn.h>
#include <quill/sys/prepare.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <exception>
#include <vector>

namespace quill::sys {

namespace {

// Runs in the forked child between fork and exec, and is the only code the
// child runs: it never returns, so the caller's code after Run runs in the
// caller alone. The hooks may allocate here (this is a full copy of the
// caller), but nothing may leave: an exception or a failed exec becomes one
// line on the child's standard error and an exit code, through _exit so
// that no exit handler runs and no stdio buffer inherited from the caller
// is flushed.
[[noreturn]] void runForkedChild(const TExec& cmd, char* const argv[]) noexcept {
  int code = detail::kSetupFailureCode;
  try {
    if (cmd.prep) cmd.prep->InChild(cmd);
    if (cmd.prep) cmd.prep->BeforeExec(cmd);
    if ((cmd.flags & TExec::SearchPath) != 0) {
      execvp(argv[0], argv);
    } else {
      execv(argv[0], argv);
    }
    const int failure = errno;
    code = detail::execFailureCode(failure);
    errno = failure;  // for the hook, as exec left it
    const bool report = !cmd.prep || cmd.prep->OnExecError(cmd);
    if (report) detail::writeChildLine(argv[0], detail::errorText(failure));
  } catch (const std::exception& error) {
    detail::writeChildLine(argv[0], error.what());
  } catch (...) {
    detail::writeChildLine(argv[0], "unexpected error before exec");
  }
  _exit(code);
}

// Ends a child that the caller can no longer hand out, and reaps it.
void killAndReap(pid_t pid) noexcept {
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
  }
}

}  // namespace

namespace detail {

void refuseEmptyArgs(const TEArgs& args) {
  if (args.Count() == 0) {
    throw TEArgs::TEArgsError("The argument list is empty",
                              TSharedPtr<TEArgs::TList>(new TEArgs::TList));
  }
}

ArgvArray::ArgvArray(const TEArgs& args) {
  pointers_.reserve(args.Count() + 1);
  for (const std::string& arg : args.List()) pointers_.push_back(const_cast<char*>(arg.c_str()));
  pointers_.push_back(nullptr);
}

}  // namespace detail

TExec::TPrepare::~TPrepare() = default;
void TExec::TPrepare::BeforeFork(const TExec&) {}
bool TExec::TPrepare::OnForkError(const TExec&) {
  return true;
}
void TExec::TPrepare::InParent(const TExec&) {}
void TExec::TPrepare::InChild(const TExec&) {}
void TExec::TPrepare::BeforeExec(const TExec&) {}
bool TExec::TPrepare::OnExecError(const TExec&) {
  return true;
}

TExec::TExec(const TEArgs& arguments, std::uint64_t bits) : args(arguments), flags(bits) {}

int TExec::Exec(bool searchPath) const {
  detail::refuseEmptyArgs(args);
  int result = 0;
  int failure = 0;
  {
    const detail::ArgvArray argv(args);
    result = searchPath ? execvp(argv.get()[0], argv.get()) : execv(argv.get()[0], argv.get());
    failure = errno;
  }
  errno = failure;  // freeing the array must not hide why exec failed
  return result;
}

TRunResult TExec::Run() const {
  detail::refuseEmptyArgs(args);
  // Built before the fork, so that the child only looks it up.
  const detail::ArgvArray argv(args);

  if ((flags & Fork) == 0) {
    if (prep) prep->BeforeExec(*this);
    if ((flags & SearchPath) != 0) {
      execvp(argv.get()[0], argv.get());
    } else {
      execv(argv.get()[0], argv.get());
    }
    const int failure = errno;
    if (prep && !prep->OnExecError(*this)) return {-1, 0};
    throw TSysCallErr(failure);
  }

  try {
    if (prep) prep->BeforeFork(*this);
  } catch (...) {
    detail::closePipesOf(*this);  // what the hooks before the failing one made
    throw;
  }
  const pid_t pid = detail::startChild(*this, argv.get(), runForkedChild);
  if (pid == -1) {
    const int failure = errno;
    detail::closePipesOf(*this);  // no child will use what BeforeFork made
    errno = failure;
    if (prep && !prep->OnForkError(*this)) return {-1, 0};
    throw TSysCallErr(failure);
  }
  try {
    if (prep) prep->InParent(*this);
  } catch (...) {
    killAndReap(pid);
    detail::closePipesOf(*this);
    throw;
  }
  if ((flags & Wait) == 0) return {pid, 0};

  // An interrupted wait is retried: giving up would leave the child as a
  // zombie that nobody can reap any more.
  int status = 0;
  while (waitpid(pid, &status, 0) == -1) {
    if (errno != EINTR) throw TSysCallErr(errno);
  }
  return {pid, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

void TExec::AddPrep(const TSharedPtr<TPrepare>& p) {
  prep = TSharedPtr<TPrepare>(new TUnionPrep(prep, p));
}

TExec TExec::WithFlags(std::uint64_t value) const {
  TExec copy(*this);
  copy.flags = value;
  return copy;
}

TExec TExec::WithFlagsAnd(std::uint64_t mask) const {
  return WithFlags(flags & mask);
}

TExec TExec::WithFlagsOr(std::uint64_t mask) const {
  return WithFlags(flags | mask);
}

TExec TExec::WithFlagsXor(std::uint64_t mask) const {
  return WithFlags(flags ^ mask);
}

TExec TExec::WithPrep(const TSharedPtr<TPrepare>& p) const {
  TExec copy(*this);
  copy.prep = p;
  return copy;
}

namespace {

TExec withAdded(const TExec& cmd, TExec::TPrepare* p) {
  const TSharedPtr<TExec::TPrepare> owned(p);
  TExec copy(cmd);
  copy.AddPrep(owned);
  return copy;
}

}  // namespace

TExec TExec::StdinFromFile(const std::string& path) const {
  return withAdded(*this, new TFromFile(path));
}

TExec TExec::StdoutToFile(const std::string& path) const {
  return withAdded(*this, new TToFile(path, false));
}

TExec TExec::StdoutAppendToFile(const std::string& path) const {
  return withAdded(*this, new TToFile(path, true));
}

TExec TExec::WithRedirect(const TRedirect& r) const {
  return withAdded(*this, new TRedirect(r.fd, r.srcFd));
}

TExec TExec::WithRedirectToFile(const TRedirectToFile& r) const {
  return withAdded(*this, new TRedirectToFile(r.fd, r.fileName, r.append));
}

TExec TExec::StdinFromString(const std::string& text) const {
  return withAdded(*this, new TReadFromStr(text));
}

}  // namespace quill::sys
