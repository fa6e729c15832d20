#include <quill/errors/errors.h>
#include <quill/sys/args.h>
#include <quill/sys/detail/child.h>
#include <quill/sys/detail/run.h>
#include <quill/sys/exec_list.h>
#include <quill/util/detail/huge_pages.h>

#include <boost/lexical_cast.hpp>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <exception>
#include <stdexcept>
#include <string>

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

// One read, retried while a signal interrupts it: the writer has not
// finished, and stopping here would pass a truncated output off as the
// whole of it. 0 at end of file.
std::size_t readSome(int fd, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = read(fd, buffer, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) throwSystemError("read() failed", errno);
  }
}

// How much larger each new allocation of a large capture is than the bytes
// read so far. Every growth copies what was read, and fresh pages are
// expensive to fault in, so large steps pay: the address space reserved
// ahead costs no memory until it is written.
constexpr std::size_t kGrowth = 8;

// Moves the bytes of `out` into a new allocation of about kGrowth times
// their size, asked for huge pages before anything is written to it. Where
// so much address space is refused (a strict overcommit policy, an
// address-space limit), it takes twice their size.
void growLarge(std::string& out) {
  const std::size_t used = out.size();
  std::string larger;
  try {
    larger.reserve(used <= larger.max_size() / kGrowth ? kGrowth * used : larger.max_size());
  } catch (const std::exception&) {
    larger.reserve(2 * used);
  }
  util::detail::preferHugePages(larger.data(), larger.capacity());
  larger.append(out);
  out.swap(larger);
}

// Reads `fd` to end of file. Small outputs (most of them) go through a
// buffer on the stack. A large one is read straight into the string, whose
// length is kept up to a step ahead of the bytes read: each step is
// zero-filled just before reads overwrite it, so its pages are faulted in
// outside the pipe's lock and are still in the cache when the bytes come.
// With its storage grown in large steps, the capture keeps up with a plain
// read loop.
void readToEnd(int fd, std::string& out) {
  constexpr std::size_t kSmall = std::size_t{256} * 1024;
  constexpr std::size_t kStep = std::size_t{256} * 1024;
  char buffer[64 * 1024];
  while (out.size() < kSmall) {
    const std::size_t got = readSome(fd, buffer, sizeof buffer);
    if (got == 0) return;
    out.append(buffer, got);
  }
  // Fewer, larger reads; a refusal only costs speed.
  fcntl(fd, F_SETPIPE_SZ, 1 << 20);
  growLarge(out);
  std::size_t used = out.size();
  for (;;) {
    if (used == out.size()) {
      if (used == out.capacity()) {
        // Full: grow only when more output is really there.
        const std::size_t got = readSome(fd, buffer, sizeof buffer);
        if (got == 0) break;
        growLarge(out);
        out.append(buffer, got);
        used += got;
      }
      out.resize(std::min(out.capacity(), used + kStep));
    }
    const std::size_t got = readSome(fd, &out[used], out.size() - used);
    if (got == 0) break;
    used += got;
  }
  out.resize(used);
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
