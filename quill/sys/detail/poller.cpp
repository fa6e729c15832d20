#include <quill/sys/detail/poller.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/fd.h>

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace quill::sys::detail {

namespace {

std::uint64_t packed(Poller::Tag tag) {
  return (static_cast<std::uint64_t>(tag.kind) << 32) | tag.index;
}

Poller::Tag unpacked(std::uint64_t data) {
  return {static_cast<Poller::Tag::Kind>(data >> 32), static_cast<std::uint32_t>(data)};
}

}  // namespace

Poller::Poller() {
  // Above the standard descriptors, like everything else of a run.
  epoll_ = keepAbove(epoll_create1(EPOLL_CLOEXEC), 3);
  if (epoll_ == -1) throw TSysCallErr(errno);
}

Poller::~Poller() {
  closeFd(timer_);
  closeFd(epoll_);
}

void Poller::watch(int fd, bool write, Tag tag) {
  epoll_event event = {};
  event.events = write ? EPOLLOUT : EPOLLIN;
  event.data.u64 = packed(tag);
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == -1) throw TSysCallErr(errno);
}

void Poller::watchChanges(int fd, Tag tag) {
  epoll_event event = {};
  event.events = EPOLLPRI;
  event.data.u64 = packed(tag);
  if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) == -1) throw TSysCallErr(errno);
}

void Poller::forget(int fd) noexcept {
  if (fd >= 0) epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

void Poller::armAt(Clock::time_point when) {
  if (when == armed_) return;
  // Most runs never need their timer: it is made for the first deadline.
  if (timer_ == -1) {
    timer_ = keepAbove(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC), 3);
    if (timer_ == -1) throw TSysCallErr(errno);
    try {
      watch(timer_, false, {Tag::Kind::kTimer, 0});
    } catch (...) {
      closeFd(timer_);
      throw;
    }
  }
  itimerspec timing = {};
  if (when != Clock::time_point::max()) {
    // The steady clock is CLOCK_MONOTONIC; a time of 0 would disarm.
    const auto since = when.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timing.it_value.tv_sec = seconds.count();
    timing.it_value.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    if (timing.it_value.tv_sec == 0 && timing.it_value.tv_nsec == 0) timing.it_value.tv_nsec = 1;
  }
  if (timerfd_settime(timer_, TFD_TIMER_ABSTIME, &timing, nullptr) == -1) throw TSysCallErr(errno);
  armed_ = when;
}

int Poller::waitRaw(int timeoutMs, Tag* tags, int capacity) {
  epoll_event events[64];
  if (capacity > 64) capacity = 64;
  int ready;
  do {
    ready = epoll_wait(epoll_, events, capacity, timeoutMs);
  } while (ready == -1 && errno == EINTR && timeoutMs == -1);
  if (ready == -1) {
    if (errno == EINTR) return 0;
    throw TSysCallErr(errno);
  }
  for (int i = 0; i < ready; ++i) {
    tags[i] = unpacked(events[i].data.u64);
    if (tags[i].kind == Tag::Kind::kTimer) {
      // Acknowledged, so that a passed timer wakes nobody again.
      std::uint64_t expirations;
      if (read(timer_, &expirations, sizeof expirations) == -1) { /* not passed after all */
      }
      armed_ = Clock::time_point::max();
    }
  }
  return ready;
}

}  // namespace quill::sys::detail
