#pragma once
// The bytes a run moves: the output streams it captures and the
// standard-input texts it feeds; private to quill/sys.
//
// Every descriptor here is the run's own end of a pipe, non-blocking, read
// or written only when the run's loop has found it ready; none ever blocks
// the caller.

#include <quill/sys/detail/output.h>
#include <quill/sys/detail/poller.h>

#include <cstddef>
#include <string>
#include <vector>

namespace quill::sys::detail {

class Streams {
 public:
  /// Which captured stream.
  enum Which { kOut = 0, kErr = 1 };

  /// Streams keeping at most `maxOutput` bytes each (0: everything); their
  /// descriptors are taken out of `poller` before they are closed.
  Streams(Poller& poller, std::size_t maxOutput)
      : poller_(poller), sinks_{OutputSink(maxOutput), OutputSink(maxOutput)} {}
  ~Streams() { closeAll(); }
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;

  /// Takes the read end `fd` of a captured stream.
  void capture(Which which, int fd);
  /// The read end of a stream, -1 once it is closed.
  int fd(Which which) const noexcept { return fds_[which]; }
  /// Reads what is there; closes the stream at its end.
  void read(Which which);

  /// Takes the write end `fd` of the pipe through which the command at
  /// `stage` reads `size` bytes at `data` (which `owned` holds when not
  /// empty, else the caller keeps them alive); its number among the feeds.
  std::size_t feed(int fd, const char* data, std::size_t size, std::string owned,
                   std::size_t stage);
  /// The number of feeds, and the write end of one (-1 once closed).
  std::size_t feedCount() const noexcept { return feeds_.size(); }
  int feedFd(std::size_t index) const noexcept { return feeds_[index].fd; }
  /// Writes what the pipe takes; closes it when all is written or the
  /// reader has gone.
  void write(std::size_t index);
  /// Closes the feeds of the command at `stage`: nobody is left to read them.
  void endFeedsOf(std::size_t stage) noexcept;

  /// True while a captured stream is open.
  bool reading() const noexcept { return fds_[kOut] != -1 || fds_[kErr] != -1; }
  /// Reads what the captured streams hold now, then closes them and the
  /// feeds: what a program wrote before it ended is never lost; a stream
  /// that was not at its end counts as truncated.
  void drainAndClose();
  /// Closes everything without reading.
  void closeAll() noexcept;

  /// What a stream kept, in order; once.
  std::string take(Which which) { return sinks_[which].take(); }
  /// True when bytes were dropped: by the bound, or left unread.
  bool truncated() const noexcept;

 private:
  struct Feed {
    int fd = -1;
    std::string owned;
    const char* data = nullptr;
    std::size_t size = 0;
    std::size_t written = 0;
    std::size_t stage = 0;
  };

  void close(int& fd) noexcept;

  Poller& poller_;
  OutputSink sinks_[2];
  int fds_[2] = {-1, -1};
  bool cut_ = false;
  std::vector<Feed> feeds_;
};

}  // namespace quill::sys::detail
