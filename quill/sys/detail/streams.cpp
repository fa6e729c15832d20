#include <quill/sys/detail/streams.h>

#include <quill/sys/detail/fd.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace quill::sys::detail {

Streams::Streams(Poller& poller, std::size_t maxOutput, Delivery delivery)
    : poller_(poller),
      sinks_{OutputSink(maxOutput), OutputSink(maxOutput)},
      delivery_(std::move(delivery)) {}

void Streams::close(int& fd) noexcept {
  poller_.forget(fd);
  closeFd(fd);
}

void Streams::capture(Which which, int fd) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
  fds_[which] = fd;
  poller_.watch(fd, false, {which == kOut ? Poller::Tag::Kind::kOut : Poller::Tag::Kind::kErr, 0});
}

// One read of a stream into the outcome or the callbacks: the bytes read, 0
// at its end, -1 with errno.
ssize_t Streams::readOnce(Which which) {
  if (!delivery_.onOutput && !delivery_.onLine) return sinks_[which].readFrom(fds_[which]);
  char buffer[64 * 1024];
  const ssize_t got = ::read(fds_[which], buffer, sizeof buffer);
  if (got > 0) deliver(which, buffer, static_cast<std::size_t>(got));
  if (got == 0) finishLine(which);
  return got;
}

void Streams::read(Which which) {
  int& fd = fds_[which];
  if (fd == -1) return;
  const ssize_t got = readOnce(which);
  if (got == 0 || (got == -1 && errno != EAGAIN && errno != EINTR)) close(fd);
}

void Streams::deliver(Which which, const char* data, std::size_t size) {
  const int stream = which == kOut ? 1 : 2;
  if (delivery_.onOutput) {
    delivery_.onOutput(stream, std::string_view(data, size));
    return;
  }
  std::string& pending = lines_[which];
  const std::size_t maxLine = std::max<std::size_t>(delivery_.maxLine, 1);
  for (std::size_t i = 0; i < size;) {
    const char* end = static_cast<const char*>(std::memchr(data + i, '\n', size - i));
    const std::size_t take = (end != nullptr ? static_cast<std::size_t>(end - data) : size) - i;
    pending.append(data + i, take);
    i += take;
    // A line longer than maxLine goes in pieces of maxLine; one of exactly
    // maxLine waits for its newline.
    while (pending.size() > maxLine) {
      delivery_.onLine(stream, std::string_view(pending.data(), maxLine));
      pending.erase(0, maxLine);
    }
    if (end != nullptr) {
      delivery_.onLine(stream, pending);
      pending.clear();
      ++i;
    }
  }
}

void Streams::finishLine(Which which) {
  if (!delivery_.onLine || lines_[which].empty()) return;
  std::string last;
  last.swap(lines_[which]);
  delivery_.onLine(which == kOut ? 1 : 2, last);
}

void Streams::feed(int fd, const char* data, std::size_t size, std::string owned,
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
}

// A reader that has gone must not end the caller with SIGPIPE: the signal
// is blocked around the write and a SIGPIPE it raised is taken back.
ssize_t Streams::writeQuietly(int fd, const char* data, std::size_t size, int& error) {
  sigset_t pipeSignal, previous, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  const ssize_t written = ::write(fd, data, size);
  error = errno;
  if (written == -1 && error == EPIPE && !alreadyPending) {
    const timespec now = {0, 0};
    sigtimedwait(&pipeSignal, nullptr, &now);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return written;
}

void Streams::write(std::size_t index) {
  Feed& feed = feeds_[index];
  if (feed.fd == -1) return;
  int error = 0;
  const ssize_t written =
      writeQuietly(feed.fd, feed.data + feed.written, feed.size - feed.written, error);
  if (written > 0) feed.written += static_cast<std::size_t>(written);
  if (feed.written == feed.size || (written == -1 && error != EAGAIN && error != EINTR))
    close(feed.fd);
}

void Streams::feedFromCaller(int fd, std::size_t stage) {
  fcntl(fd, F_SETFL, O_NONBLOCK);
  caller_.fd = fd;
  caller_.stage = stage;
  hasCaller_ = true;
}

void Streams::writeFromCaller(std::string_view bytes) {
  if (!hasCaller_) throw std::logic_error("TJob::Write: the command does not read from the caller");
  if (caller_.closing) throw std::logic_error("TJob::Write: the input is closed");
  if (caller_.fd == -1) return;  // the reader has gone: nobody would read it
  if (caller_.sent == caller_.queue.size()) {
    caller_.queue.clear();
    caller_.sent = 0;
  }
  caller_.queue.append(bytes);
  watchCaller();
}

void Streams::closeFromCaller() {
  caller_.closing = true;
  if (caller_.fd != -1 && caller_.sent == caller_.queue.size()) close(caller_.fd);
}

// Watched for writing only while there is something to write.
void Streams::watchCaller() {
  const bool wanted = caller_.fd != -1 && caller_.sent < caller_.queue.size();
  if (wanted == caller_.watched) return;
  if (wanted) {
    poller_.watch(caller_.fd, true, {Poller::Tag::Kind::kCallerInput, 0});
  } else {
    poller_.forget(caller_.fd);
  }
  caller_.watched = wanted;
}

void Streams::sendFromCaller() {
  if (caller_.fd == -1) return;
  int error = 0;
  const ssize_t written = writeQuietly(caller_.fd, caller_.queue.data() + caller_.sent,
                                       caller_.queue.size() - caller_.sent, error);
  if (written > 0) caller_.sent += static_cast<std::size_t>(written);
  const bool gone = written == -1 && error != EAGAIN && error != EINTR;
  if (gone || (caller_.closing && caller_.sent == caller_.queue.size())) {
    close(caller_.fd);
    caller_.watched = false;
    return;
  }
  watchCaller();
}

void Streams::endFeedsOf(std::size_t stage) noexcept {
  for (Feed& feed : feeds_) {
    if (feed.stage == stage) close(feed.fd);
  }
  if (hasCaller_ && caller_.stage == stage) {
    close(caller_.fd);
    caller_.watched = false;
  }
}

void Streams::drainAndClose() {
  for (const Which which : {kOut, kErr}) {
    int& fd = fds_[which];
    if (fd == -1) continue;
    for (;;) {
      const ssize_t got = readOnce(which);
      if (got > 0 || (got == -1 && errno == EINTR)) continue;
      if (got == -1 && errno == EAGAIN) {
        cut_ = true;  // open still, and maybe more to come
        finishLine(which);
      }
      break;
    }
    close(fd);
  }
  for (Feed& feed : feeds_) close(feed.fd);
  close(caller_.fd);
  caller_.watched = false;
}

void Streams::closeAll() noexcept {
  for (int& fd : fds_) close(fd);
  for (Feed& feed : feeds_) close(feed.fd);
  close(caller_.fd);
  caller_.watched = false;
}

bool Streams::truncated() const noexcept {
  return cut_ || sinks_[kOut].truncated() || sinks_[kErr].truncated();
}

}  // namespace quill::sys::detail
