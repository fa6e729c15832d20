#include <quill/sys/exec_list.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/child.h>
#include <quill/sys/detail/describe.h>
#include <quill/sys/detail/output.h>
#include <quill/sys/detail/run.h>
#include <quill/sys/detail/settings.h>
#include <quill/sys/detail/wait.h>

#include <boost/lexical_cast.hpp>

#include <cerrno>
#include <stdexcept>

namespace quill::sys {

namespace {

// A copy of `l` whose last command is `derive` of what it was.
template <typename Derive>
TExecList withLast(const TExecList& l, Derive derive) {
  TExecList copy(l);
  if (!copy.empty()) copy.back() = derive(copy.back());
  return copy;
}

// A copy of `l` whose every command is `derive` of what it was.
template <typename Derive>
TExecList withEach(const TExecList& l, Derive derive) {
  TExecList copy;
  for (const TExec& cmd : l) copy.push_back(derive(cmd));
  return copy;
}

// Owns the capture pipe's descriptors in the caller for one run, so that no
// error path leaves them open.
class CaptureGuard {
 public:
  explicit CaptureGuard(TReadOut& capture) : capture_(capture) {}
  ~CaptureGuard() { close(); }
  CaptureGuard(const CaptureGuard&) = delete;
  CaptureGuard& operator=(const CaptureGuard&) = delete;

  void close() noexcept {
    detail::closeFd(capture_.fds[0]);
    detail::closeFd(capture_.fds[1]);
  }

 private:
  TReadOut& capture_;
};

}  // namespace

TExecList::TExecList(const TExec& cmd) : commands_{cmd} {}

TExecList::TExecList(std::initializer_list<TExec> cmds) : commands_(cmds) {}

void TExecList::AddPrepToLast(const TSharedPtr<TExec::TPrepare>& p) {
  if (!commands_.empty()) commands_.back().AddPrep(p);
}

TExecList TExecList::WithEnv(const std::string& name, const std::string& value) const {
  return withEach(*this, [&](const TExec& cmd) { return cmd.WithEnv(name, value); });
}

TExecList TExecList::WithoutEnv(const std::string& name) const {
  return withEach(*this, [&](const TExec& cmd) { return cmd.WithoutEnv(name); });
}

TExecList TExecList::WithEmptyEnv() const {
  return withEach(*this, [](const TExec& cmd) { return cmd.WithEmptyEnv(); });
}

TExecList TExecList::InDirectory(const std::string& path) const {
  return withEach(*this, [&](const TExec& cmd) { return cmd.InDirectory(path); });
}

TExecList TExecList::WithUmask(mode_t mask) const {
  return withEach(*this, [&](const TExec& cmd) { return cmd.WithUmask(mask); });
}

TExecList TExecList::AsUser(const std::string& user) const {
  const detail::SettingPrep identity = detail::lookUpUser(user);
  return AsUser(identity.uid, identity.gid, identity.groups);
}

TExecList TExecList::AsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) const {
  return withEach(*this, [&](const TExec& cmd) { return cmd.AsUser(uid, gid, groups); });
}

TExecList TExecList::WithLimit(int resource, rlim_t soft, rlim_t hard) const {
  return withEach(*this, [&](const TExec& cmd) { return cmd.WithLimit(resource, soft, hard); });
}

TExecList TExecList::InNewSession() const {
  return withEach(*this, [](const TExec& cmd) { return cmd.InNewSession(); });
}

TExecList TExecList::InNewProcessGroup() const {
  return withEach(*this, [](const TExec& cmd) { return cmd.InNewProcessGroup(); });
}

TExecList TExecList::WithParentDeathSignal(int sig) const {
  return withEach(*this, [&](const TExec& cmd) { return cmd.WithParentDeathSignal(sig); });
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

TExecList StdinFromFile(const TExecList& l, const std::string& path) {
  return withLast(l, [&](const TExec& cmd) { return cmd.StdinFromFile(path); });
}

TExecList StdoutToFile(const TExecList& l, const std::string& path) {
  return withLast(l, [&](const TExec& cmd) { return cmd.StdoutToFile(path); });
}

TExecList StdoutAppendToFile(const TExecList& l, const std::string& path) {
  return withLast(l, [&](const TExec& cmd) { return cmd.StdoutAppendToFile(path); });
}

TExecList WithRedirect(const TExecList& l, const TRedirect& r) {
  return withLast(l, [&](const TExec& cmd) { return cmd.WithRedirect(r); });
}

TExecList WithRedirectToFile(const TExecList& l, const TRedirectToFile& r) {
  return withLast(l, [&](const TExec& cmd) { return cmd.WithRedirectToFile(r); });
}

TExecList StdinFromString(const TExecList& l, const std::string& text) {
  return withLast(l, [&](const TExec& cmd) { return cmd.StdinFromString(text); });
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
  int status = 0;
  if (detail::waitFor(pid, &status) != -1) return status;
  if (errno == ECHILD) return 0;
  throwSystemError("waitpid() failed", errno);
}

void RunAndRead(std::string& out, int& status, const TExecList& l) {
  if (l.empty()) return;
  TSharedPtr<TReadOut> capture(new TReadOut);
  TExecList copy(l);
  copy.AddPrepToLast(capture);
  // Everything is started before anything is read or waited for: a stage
  // waited for now could block on a full pipe that nobody reads yet.
  for (TExec& cmd : copy) cmd.flags &= TExec::Fork | TExec::SearchPath;

  CaptureGuard guard(*capture);
  detail::ListRun run(copy);
  const TRunResult last = run.start();

  std::string captured;
  try {
    detail::readToEnd(capture->fds[0], captured);
  } catch (...) {
    guard.close();
    run.abort();
    throw;
  }
  guard.close();

  int lastStatus = -1;  // not a normal exit: no child to report on
  try {
    if (last.pid > 0) lastStatus = WaitChild(last.pid);
  } catch (...) {
    run.abort();
    throw;
  }
  for (const detail::StartedChild& child : run.unwaited()) {
    if (child.pid != last.pid) detail::reap(child.pid);
  }
  out.swap(captured);
  status = lastStatus;
}

std::string ReadOutput(const TExecList& l) {
  std::string out;
  int status = 0;
  RunAndRead(out, status, l);
  const detail::ExitStatus end = detail::decodeStatus(status);
  if (!end.exited) {
    throw std::runtime_error("child failed (status=" + boost::lexical_cast<std::string>(status) +
                             "): " + out);
  }
  if (end.code != 0) {
    throw std::runtime_error(
        "child failed (exit code=" + boost::lexical_cast<std::string>(end.code) + "): " + out);
  }
  return out;
}

std::string ReadOutput(const TExec& a) {
  return ReadOutput(TExecList(a));
}

std::string FileType(const std::string& path) {
  TEArgs args(EmptyArgs);
  args.Add("file");
  args.Add("-bL");
  // Ends the options: a path that starts with "-" is still a path.
  args.Add("--");
  args.Add(path);
  return ReadOutput(TExec(args, TExec::Fork | TExec::Wait | TExec::SearchPath));
}

}  // namespace quill::sys
