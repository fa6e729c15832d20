#include <quill/sys/exec_list.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/child.h>
#include <quill/sys/detail/run.h>
#include <quill/sys/detail/spawn.h>

#include <sys/wait.h>
#include <cerrno>
#include <csignal>

namespace quill::sys {

namespace detail {

void closePipesOf(const TExec& cmd) noexcept {
  forEachPrep(cmd.prep, [](TExec::TPrepare* p) {
    int* fds = nullptr;
    if (auto* writer = dynamic_cast<TWriteToPipeline*>(p)) fds = writer->pipe->fds;
    if (auto* reader = dynamic_cast<TReadFromPipeline*>(p)) fds = reader->pipe->fds;
    if (auto* capture = dynamic_cast<TReadOut*>(p)) fds = capture->fds;
    if (fds == nullptr) return;
    closeFd(fds[0]);
    closeFd(fds[1]);
  });
}

bool feedsPipe(const TExec& cmd) {
  bool found = false;
  forEachPrep(cmd.prep, [&found](TExec::TPrepare* p) {
    if (dynamic_cast<TWriteToPipeline*>(p) != nullptr) found = true;
  });
  return found;
}

void reap(pid_t pid) noexcept {
  while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
  }
}

TRunResult ListRun::start() {
  // An unusable command is refused before its predecessors are started.
  for (const TExec& cmd : list_) refuseEmptyArgs(cmd.args);
  TRunResult result{0, 0};
  try {
    for (const TExec& cmd : list_) {
      result = cmd.Run();
      const bool waited = (cmd.flags & TExec::Wait) != 0;
      if ((cmd.flags & TExec::Fork) != 0 && !waited && result.pid > 0) {
        unwaited_.push_back({result.pid, &cmd});
      }
    }
  } catch (...) {
    abort();
    throw;
  }
  return result;
}

void ListRun::abort() noexcept {
  for (const TExec& cmd : list_) closePipesOf(cmd);
  // The remaining stages would only block on pipes whose other ends are
  // gone or run without purpose: end them rather than leave them unreaped.
  for (const StartedChild& child : unwaited_) {
    kill(child.pid, SIGKILL);
    reap(child.pid);
  }
  unwaited_.clear();
}

}  // namespace detail

TExecList::TExecList(const TExec& cmd) : commands_{cmd} {}

TExecList::TExecList(std::initializer_list<TExec> cmds) : commands_(cmds) {}

void TExecList::AddPrepToLast(const TSharedPtr<TExec::TPrepare>& p) {
  if (!commands_.empty()) commands_.back().AddPrep(p);
}

TExecList Sequence(const TExec& a, const TExec& b) {
  return TExecList{a, b};
}

TExecList Sequence(const TExec& a, const TExecList& l) {
  return Sequence(TExecList(a), l);
}

TExecList Sequence(const TExecList& l, const TExec& b) {
  return Sequence(l, TExecList(b));
}

TExecList Sequence(const TExecList& l, const TExecList& m) {
  TExecList result(l);
  for (const TExec& cmd : m) result.push_back(cmd);
  return result;
}

TExecList Pipe(const TExec& a, const TExec& b) {
  return Pipe(TExecList(a), TExecList(b));
}

TExecList Pipe(const TExecList& l, const TExec& b) {
  return Pipe(l, TExecList(b));
}

TExecList Pipe(const TExec& a, const TExecList& l) {
  return Pipe(TExecList(a), l);
}

TExecList Pipe(const TExecList& l, const TExecList& m) {
  // A join with nothing on one side has no pipe to make; a reader of a pipe
  // nobody creates would close the caller's standard input.
  if (l.empty()) return m;
  if (m.empty()) return l;
  const TSharedPtr<PipePair> pair(new PipePair);
  TExecList result(l);
  result.AddPrepToLast(TSharedPtr<TExec::TPrepare>(new TWriteToPipeline(pair)));
  // Neither the first command nor the writer may be waited for while they
  // are started: the stages after them are not running yet, so a full pipe
  // would block the writer for ever.
  const std::uint64_t noWait = TExec::Fork | TExec::SearchPath;
  result.front().flags &= noWait;
  result.back().flags &= noWait;
  TExecList right(m);
  right.front().AddPrep(TSharedPtr<TExec::TPrepare>(new TReadFromPipeline(pair)));
  for (const TExec& cmd : right) result.push_back(cmd);
  return result;
}

namespace {

TExecList withLast(const TExecList& l, TExec::TPrepare* p) {
  const TSharedPtr<TExec::TPrepare> owned(p);
  TExecList copy(l);
  copy.AddPrepToLast(owned);
  return copy;
}

}  // namespace

TExecList StdinFromFile(const TExecList& l, const std::string& path) {
  return withLast(l, new TFromFile(path));
}

TExecList StdoutToFile(const TExecList& l, const std::string& path) {
  return withLast(l, new TToFile(path, false));
}

TExecList StdoutAppendToFile(const TExecList& l, const std::string& path) {
  return withLast(l, new TToFile(path, true));
}

TExecList WithRedirect(const TExecList& l, const TRedirect& r) {
  return withLast(l, new TRedirect(r.fd, r.srcFd));
}

TExecList WithRedirectToFile(const TExecList& l, const TRedirectToFile& r) {
  return withLast(l, new TRedirectToFile(r.fd, r.fileName, r.append));
}

TExecList StdinFromString(const TExecList& l, const std::string& text) {
  return withLast(l, new TReadFromStr(text));
}

TRunResult RunAll(const TExecList& l) {
  if (l.empty()) return {0, 0};
  detail::ListRun run(l);
  const TRunResult result = run.start();
  const TExec& last = l.back();
  const bool lastWaited = (last.flags & TExec::Fork) != 0 && (last.flags & TExec::Wait) != 0;
  if (lastWaited && result.pid > 0) {
    // The earlier stages of a pipeline end with its last stage; their
    // caller gets no pid to reap them by.
    for (const detail::StartedChild& child : run.unwaited()) {
      if (detail::feedsPipe(*child.cmd)) detail::reap(child.pid);
    }
  }
  return result;
}

int WaitChild(int pid) {
  for (;;) {
    try {
      int status = 0;
      if (waitpid(pid, &status, WUNTRACED) == -1) throwSystemError("waitpid() failed", errno);
      return status;
    } catch (const ExSystemError<EINTR>&) {
      continue;
    } catch (const ExSystemError<ECHILD>&) {
      return 0;
    }
  }
}

}  // namespace quill::sys
