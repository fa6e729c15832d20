#include <quill/sys/detail/streams.h>

#include <quill/sys/detail/fd.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <utility>

namespace quill::sys::detail {

void Streams::close(int& fd) noexcept {
  poller_.forget(fd);
  closeFd(fd);
}

void Streams::capture(Which which, int fd) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
  fds_[which] = fd;
  poller_.watch(fd, false, {which == kOut ? Poller::Tag::Kind::kOut : Poller::Tag::Kind::kErr, 0});
}

void Streams::read(Which which) {
  int& fd = fds_[which];
  if (fd == -1) return;
  const ssize_t got = sinks_[which].readFrom(fd);
  if (got == 0 || (got == -1 && errno != EAGAIN && errno != EINTR)) close(fd);
}

std::size_t Streams::feed(int fd, const char* data, std::size_t size, std::string owned,
                          std::size_t stage) {
  fcntl(fd, F_SETFL, O_NONBLOCK);  // the child's end stays blocking
  Feed feed;
  feed.fd = fd;
  feed.owned = std::move(owned);
  feed.size = size;
  feed.stage = stage;
  feeds_.push_back(std::move(feed));
  Feed& added = feeds_.back();
  added.data = added.owned.empty() ? data : added.owned.data();
  const std::size_t index = feeds_.size() - 1;
  if (size == 0) {
    closeFd(added.fd);
  } else {
    poller_.watch(added.fd, true, {Poller::Tag::Kind::kFeed, static_cast<std::uint32_t>(index)});
  }
  return index;
}

void Streams::write(std::size_t index) {
  Feed& feed = feeds_[index];
  if (feed.fd == -1) return;
  // A reader that has gone must not end the caller with SIGPIPE: the signal
  // is blocked around the write and a SIGPIPE it raised is taken back.
  sigset_t pipeSignal, previous, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  const ssize_t written = ::write(feed.fd, feed.data + feed.written, feed.size - feed.written);
  const int error = errno;
  if (written == -1 && error == EPIPE && !alreadyPending) {
    const timespec now = {0, 0};
    sigtimedwait(&pipeSignal, nullptr, &now);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (written > 0) feed.written += static_cast<std::size_t>(written);
  if (feed.written == feed.size || (written == -1 && error != EAGAIN && error != EINTR))
    close(feed.fd);
}

void Streams::endFeedsOf(std::size_t stage) noexcept {
  for (Feed& feed : feeds_) {
    if (feed.stage == stage) close(feed.fd);
  }
}

void Streams::drainAndClose() {
  for (int& fd : fds_) {
    if (fd == -1) continue;
    const Which which = &fd == &fds_[kOut] ? kOut : kErr;
    for (;;) {
      const ssize_t got = sinks_[which].readFrom(fd);
      if (got > 0 || (got == -1 && errno == EINTR)) continue;
      if (got == -1 && errno == EAGAIN) cut_ = true;  // open still, and maybe more to come
      break;
    }
    close(fd);
  }
  for (Feed& feed : feeds_) close(feed.fd);
}

void Streams::closeAll() noexcept {
  for (int& fd : fds_) close(fd);
  for (Feed& feed : feeds_) close(feed.fd);
}

bool Streams::truncated() const noexcept {
  return cut_ || sinks_[kOut].truncated() || sinks_[kErr].truncated();
}

}  // namespace quill::sys::detail
