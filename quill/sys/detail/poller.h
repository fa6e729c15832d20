#pragma once
// The readiness a run waits for, behind one descriptor; private to
// quill/sys.
//
// An epoll set holds every descriptor of a run that can make progress
// (output to read, a text to write, a child's end, its report) and a timer
// armed for the run's next deadline, so that the set's own descriptor is
// readable exactly when the run has something to do: a loop of the
// caller's may wait on it. Each registration carries a tag that says what
// it stands for.

#include <chrono>
#include <cstdint>

namespace quill::sys::detail {

class Poller {
 public:
  using Clock = std::chrono::steady_clock;

  /// What a ready descriptor stands for: its kind and, for the kinds that
  /// come in numbers, which one.
  struct Tag {
    enum class Kind : std::uint32_t {
      kOut,
      kErr,
      kFeed,
      kCallerInput,
      kEnd,
      kReport,
      kTimer,
      kCgroup
    };
    Kind kind;
    std::uint32_t index;
  };

  /// The set (its timer is made when first armed); raises TSysCallErr when
  /// it cannot be had.
  Poller();
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  /// The set's descriptor: readable when a registered descriptor is ready
  /// or the timer has passed.
  int fd() const noexcept { return epoll_; }

  /// Watches `fd` for reading (or, with `write`, writing) under `tag`.
  void watch(int fd, bool write, Tag tag);
  /// Watches a file of the kernel's that is always readable and announces
  /// a change as priority data (cgroup.events), under `tag`; reading it
  /// again takes the announcement away.
  void watchChanges(int fd, Tag tag);
  /// Stops watching `fd` (before it is closed, or once it has nothing more
  /// to say).
  void forget(int fd) noexcept;

  /// Arms the timer for `when` (max: disarmed), if that is not already so.
  void armAt(Clock::time_point when);

  /// Waits up to `timeoutMs` (-1: without limit) for ready descriptors and
  /// calls `handle(tag)` for each. A passed timer is acknowledged first.
  template <typename Handle>
  void wait(int timeoutMs, const Handle& handle);

 private:
  int waitRaw(int timeoutMs, Tag* tags, int capacity);

  int epoll_ = -1;
  int timer_ = -1;
  Clock::time_point armed_ = Clock::time_point::max();
};

template <typename Handle>
void Poller::wait(int timeoutMs, const Handle& handle) {
  Tag tags[64];
  const int ready = waitRaw(timeoutMs, tags, 64);
  for (int i = 0; i < ready; ++i) handle(tags[i]);
}

}  // namespace quill::sys::detail
