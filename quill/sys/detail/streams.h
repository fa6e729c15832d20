#pragma once
// The bytes a run moves: the output streams it captures (kept, or handed to
// the caller's callbacks as they arrive), the standard-input texts it feeds
// and the input the caller writes while the run goes on; private to
// quill/sys.
//
// Every descriptor here is the run's own end of a pipe, non-blocking, read
// or written only when the run's loop has found it ready; none ever blocks
// the caller, and none is watched while it has nothing to do, so that the
// run's descriptor is never ready without progress to make.

#include <quill/sys/detail/output.h>
#include <quill/sys/detail/poller.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quill::sys::detail {

class Streams {
 public:
  /// Which captured stream.
  enum Which { kOut = 0, kErr = 1 };

  /// Where captured bytes go instead of the outcome: all of them as they
  /// arrive, or whole lines (pieces of at most maxLine bytes).
  struct Delivery {
    std::function<void(int stream, std::string_view bytes)> onOutput;
    std::function<void(int stream, std::string_view line)> onLine;
    std::size_t maxLine = std::size_t{64} * 1024;
  };

  /// Streams keeping at most `maxOutput` bytes each (0: everything), or
  /// handing them over as `delivery` says; their descriptors are taken out
  /// of `poller` before they are closed.
  Streams(Poller& poller, std::size_t maxOutput, Delivery delivery);
  ~Streams() { closeAll(); }
  Streams(const Streams&) = delete;
  Streams& operator=(const Streams&) = delete;

  /// Takes the read end `fd` of a captured stream.
  void capture(Which which, int fd);
  /// Reads what is there; closes the stream at its end. What a callback
  /// raises goes through.
  void read(Which which);

  /// Takes the write end `fd` of the pipe through which the command at
  /// `stage` reads `size` bytes at `data` (which `owned` holds when not
  /// empty, else the caller keeps them alive).
  void feed(int fd, const char* data, std::size_t size, std::string owned, std::size_t stage);
  /// Writes what the pipe takes; closes it when all is written or the
  /// reader has gone.
  void write(std::size_t index);

  /// Takes the write end `fd` of the pipe through which the command at
  /// `stage` reads what the caller writes.
  void feedFromCaller(int fd, std::size_t stage);
  /// Queues `bytes` for that pipe. Raises std::logic_error when there is
  /// none or the caller has closed it.
  void writeFromCaller(std::string_view bytes);
  /// Ends that input once the queue is written.
  void closeFromCaller();
  /// Writes what the pipe takes of the queue.
  void sendFromCaller();

  /// Closes the feeds of the command at `stage`: nobody is left to read them.
  void endFeedsOf(std::size_t stage) noexcept;

  /// True while a captured stream is open.
  bool reading() const noexcept { return fds_[kOut] != -1 || fds_[kErr] != -1; }
  /// Reads what the captured streams hold now, then closes them and the
  /// feeds: what a program wrote before it ended is never lost; a stream
  /// that was not at its end counts as truncated.
  void drainAndClose();
  /// Closes everything without reading or delivering anything more.
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
  struct CallerFeed {
    int fd = -1;
    std::string queue;
    std::size_t sent = 0;
    bool watched = false;
    bool closing = false;
    std::size_t stage = 0;
  };

  ssize_t readOnce(Which which);
  void deliver(Which which, const char* data, std::size_t size);
  void finishLine(Which which);
  ssize_t writeQuietly(int fd, const char* data, std::size_t size, int& error);
  void watchCaller();
  void close(int& fd) noexcept;

  Poller& poller_;
  OutputSink sinks_[2];
  Delivery delivery_;
  std::string lines_[2];  // what onLine has not been given yet
  int fds_[2] = {-1, -1};
  bool cut_ = false;
  std::vector<Feed> feeds_;
  CallerFeed caller_;
  bool hasCaller_ = false;
};

}  // namespace quill::sys::detail
