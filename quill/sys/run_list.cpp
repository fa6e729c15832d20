// The classic runners of lists: RunAll, RunAndRead, ReadOutput, FileType,
// each a thin layer over TExec::Run.

#include <quill/sys/exec_list.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/fd.h>
#include <quill/sys/detail/items.h>
#include <quill/sys/detail/layout.h>
#include <quill/sys/detail/output.h>
#include <quill/sys/detail/wait.h>

#include <boost/lexical_cast.hpp>

#include <cerrno>
#include <stdexcept>
#include <vector>

namespace quill::sys {

namespace {

bool feedsPipe(const TExec& cmd) {
  for (const detail::PrepItem& item : detail::itemsOf(cmd)) {
    if (const auto* end = std::get_if<detail::PipelineEnd>(&item); end != nullptr && end->writes)
      return true;
  }
  return false;
}

// One run of a list with TExec::Run. Keeps the children it started without
// waiting, so that they can be reaped, or ended and reaped when the run
// fails.
class ListRun {
 public:
  // A run of `list`, which must outlive it.
  explicit ListRun(const TExecList& list) : list_(list) {}
  ListRun(const ListRun&) = delete;
  ListRun& operator=(const ListRun&) = delete;

  // Runs every command in order and returns the last one's result. Refuses
  // an unusable command before anything starts. When a command fails to
  // start, abort() runs before the error propagates.
  TRunResult start() {
    for (const TExec& cmd : list_) detail::refuseUnusableWords(cmd.args);
    TRunResult result{0, 0};
    try {
      for (const TExec& cmd : list_) {
        result = cmd.Run();
        const bool waited = (cmd.flags & TExec::Wait) != 0;
        if ((cmd.flags & TExec::Fork) != 0 && !waited && result.pid > 0)
          unwaited_.push_back({result.pid, &cmd});
      }
    } catch (...) {
      abort();
      throw;
    }
    return result;
  }

  // The children started without waiting, and their commands.
  struct Started {
    pid_t pid;
    const TExec* cmd;
  };
  const std::vector<Started>& unwaited() const noexcept { return unwaited_; }

  // Closes every pipe end the list's preparations still hold in the caller
  // and kills and reaps the children started so far: the remaining stages
  // would only block on pipes whose other ends are gone.
  void abort() noexcept {
    for (const TExec& cmd : list_) {
      try {
        detail::closePipesOf(detail::itemsOf(cmd));
      } catch (...) {
      }
    }
    for (const Started& child : unwaited_) detail::killAndReap(child.pid);
    unwaited_.clear();
  }

 private:
  const TExecList& list_;
  std::vector<Started> unwaited_;
};

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

TRunResult RunAll(const TExecList& l) {
  if (l.empty()) return {0, 0};
  ListRun run(l);
  const TRunResult result = run.start();
  const TExec& last = l.back();
  const bool lastWaited = (last.flags & TExec::Fork) != 0 && (last.flags & TExec::Wait) != 0;
  if (lastWaited && result.pid > 0) {
    // The earlier stages of a pipeline end with its last stage; their
    // caller gets no pid to reap them by.
    for (const ListRun::Started& child : run.unwaited()) {
      if (feedsPipe(*child.cmd)) detail::reap(child.pid);
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
  ListRun run(copy);
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
  for (const ListRun::Started& child : run.unwaited()) {
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
