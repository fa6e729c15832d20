#pragma once
// A program's output read from a pipe into a string; private to quill/sys.

#include <sys/types.h>
#include <cstddef>
#include <string>

namespace quill::sys::detail {

/// Collects what is read from one pipe. Unbounded, small outputs (most of
/// them) go through a buffer on the stack; a large one is read straight into
/// the string, whose length is kept up to a step ahead of the bytes read:
/// each step is zero-filled just before reads overwrite it, so its pages are
/// faulted in outside the pipe's lock and are still in the cache when the
/// bytes come, and its storage grows in large steps. With a bound, only the
/// first bound/2 and the last bound - bound/2 bytes are kept.
class OutputSink {
 public:
  /// A sink keeping everything (`bound` 0) or at most `bound` bytes.
  explicit OutputSink(std::size_t bound = 0) : bound_(bound) {}

  /// One read(2) from `fd`: the bytes read, 0 at end of file, -1 with errno
  /// when the read failed (EAGAIN on an empty non-blocking pipe, EINTR).
  ssize_t readFrom(int fd);

  /// Everything kept, in order; the sink is empty afterwards. A large
  /// output may keep a capacity of up to eight times its length: address
  /// space reserved while reading, of which about the length is in use.
  std::string take();

  /// True when the bound dropped bytes.
  bool truncated() const noexcept { return dropped_; }

 private:
  ssize_t readUnbounded(int fd);
  ssize_t readBounded(int fd);

  std::size_t bound_;
  std::string out_;
  std::size_t used_ = 0;  // bytes of out_ that hold output; the rest is the step ahead
  bool large_ = false;
  std::string tail_;  // bounded: a ring of the last bytes
  std::size_t tailStart_ = 0;
  bool dropped_ = false;
};

/// Reads `fd` to end of file into `out`, retrying reads a signal
/// interrupts: the writer has not finished, and stopping there would pass a
/// truncated output off as the whole of it. A failed read raises the
/// SystemError family with "read() failed".
void readToEnd(int fd, std::string& out);

}  // namespace quill::sys::detail
