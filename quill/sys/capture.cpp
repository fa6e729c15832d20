#include <quill/errors/errors.h>
#include <quill/sys/args.h>
#include <quill/sys/detail/child.h>
#include <quill/sys/detail/run.h>
#include <quill/sys/exec_list.h>

#include <boost/lexical_cast.hpp>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
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

// Asks for huge pages on the whole 2 MiB blocks of [data, data + size), so
// that a large capture takes one page fault per block instead of 512.
void adviseHugePages(char* data, std::size_t size) noexcept {
  constexpr std::uintptr_t kHuge = 2u << 20;
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (address + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (address + size) & ~(kHuge - 1);
  if (end > begin) madvise(data + (begin - address), end - begin, MADV_HUGEPAGE);
}

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

// Memory for a large capture that grows without copying (mremap moves the
// pages, not the bytes) and without being zero-filled twice.
class GrowingBuffer {
 public:
  GrowingBuffer() = default;
  ~GrowingBuffer() {
    if (data_ != nullptr) munmap(data_, capacity_);
  }
  GrowingBuffer(const GrowingBuffer&) = delete;
  GrowingBuffer& operator=(const GrowingBuffer&) = delete;

  char* data() const noexcept { return data_; }
  std::size_t capacity() const noexcept { return capacity_; }

  void grow(std::size_t capacity) {
    void* grown = MAP_FAILED;
    if (data_ != nullptr) grown = mremap(data_, capacity_, capacity, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) {
      // Where pages cannot be moved (some emulators refuse), copy them.
      grown = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (grown == MAP_FAILED) throw std::bad_alloc();
      if (data_ != nullptr) {
        std::memcpy(grown, data_, capacity_);
        munmap(data_, capacity_);
      }
    }
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    adviseHugePages(data_, capacity_);
  }

 private:
  char* data_ = nullptr;
  std::size_t capacity_ = 0;
};

// Reads `fd` to end of file. Small outputs (most of them) go through a
// buffer on the stack; a large one is read in reads as large as the pipe
// allows into memory that grows in place, and copied into the string once,
// so that the capture keeps up with a plain read loop.
void readToEnd(int fd, std::string& out) {
  constexpr std::size_t kSmall = std::size_t{256} * 1024;
  char buffer[64 * 1024];
  while (out.size() < kSmall) {
    const std::size_t got = readSome(fd, buffer, sizeof buffer);
    if (got == 0) return;
    out.append(buffer, got);
  }
  // Fewer, larger reads; a refusal only costs speed.
  fcntl(fd, F_SETPIPE_SZ, 1 << 20);
  GrowingBuffer large;
  std::size_t used = 0;
  for (;;) {
    if (large.capacity() - used < (1u << 20))
      large.grow(std::max<std::size_t>(4 * kSmall, 2 * large.capacity()));
    const std::size_t got = readSome(fd, large.data() + used, large.capacity() - used);
    if (got == 0) break;
    used += got;
  }
  out.reserve(out.size() + used);
  adviseHugePages(&out[0], out.capacity());
  out.append(large.data(), used);
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
