#include <quill/errors/errors.h>
#include <quill/sys/args.h>
#include <quill/sys/detail/child.h>
#include <quill/sys/detail/run.h>
#include <quill/sys/exec_list.h>

#include <boost/lexical_cast.hpp>

#include <unistd.h>
#include <cerrno>
#include <stdexcept>

namespace quill::sys {

namespace {

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

// Reads `fd` to end of file. A read interrupted by a signal is retried: the
// writer has not finished, and stopping here would pass a truncated output
// off as the whole of it.
void readToEnd(int fd, std::string& out) {
  constexpr std::size_t kChunk = 64 * 1024;
  char buffer[kChunk];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      out.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0) {
      return;
    } else if (errno != EINTR) {
      throwSystemError("read() failed", errno);
    }
  }
}

}  // namespace

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
    readToEnd(capture->fds[0], captured);
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
  if ((status & 0x7f) != 0) {
    throw std::runtime_error("child failed (status=" + boost::lexical_cast<std::string>(status) +
                             "): " + out);
  }
  const int exitCode = (status >> 8) & 0xff;
  if (exitCode != 0) {
    throw std::runtime_error(
        "child failed (exit code=" + boost::lexical_cast<std::string>(exitCode) + "): " + out);
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
