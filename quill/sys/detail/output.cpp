#include <quill/sys/detail/output.h>

#include <quill/errors/errors.h>
#include <quill/util/detail/huge_pages.h>

#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <exception>

namespace quill::sys::detail {

namespace {

constexpr std::size_t kSmall = std::size_t{256} * 1024;
constexpr std::size_t kStep = std::size_t{256} * 1024;
constexpr std::size_t kChunk = std::size_t{64} * 1024;

// How much larger each new allocation of a large output is than the bytes
// read so far. Every growth copies what was read, and fresh pages are
// expensive to fault in, so large steps pay: the address space reserved
// ahead costs no memory until it is written.
constexpr std::size_t kGrowth = 8;

// Moves the `used` bytes of `out` into a new allocation of about kGrowth
// times their size, asked for huge pages before anything is written to it.
// Where so much address space is refused (a strict overcommit policy, an
// address-space limit), it takes twice their size.
void growLarge(std::string& out, std::size_t used) {
  std::string larger;
  try {
    larger.reserve(used <= larger.max_size() / kGrowth ? kGrowth * used : larger.max_size());
  } catch (const std::exception&) {
    larger.reserve(2 * used);
  }
  util::detail::preferHugePages(larger.data(), larger.capacity());
  larger.append(out, 0, used);
  out.swap(larger);
}

}  // namespace

ssize_t OutputSink::readFrom(int fd) {
  return bound_ == 0 ? readUnbounded(fd) : readBounded(fd);
}

ssize_t OutputSink::readUnbounded(int fd) {
  if (!large_) {
    char buffer[kChunk];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got <= 0) return got;
    out_.append(buffer, static_cast<std::size_t>(got));
    used_ = out_.size();
    if (used_ >= kSmall) {
      large_ = true;
      // Fewer, larger reads; a refusal only costs speed.
      fcntl(fd, F_SETPIPE_SZ, 1 << 20);
      growLarge(out_, used_);
    }
    return got;
  }
  if (used_ == out_.size()) {
    if (used_ == out_.capacity()) {
      // Full: grow only when more output is really there.
      char buffer[kChunk];
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) return got;
      growLarge(out_, used_);
      out_.append(buffer, static_cast<std::size_t>(got));
      used_ += static_cast<std::size_t>(got);
      return got;
    }
    out_.resize(std::min(out_.capacity(), used_ + kStep));
  }
  const ssize_t got = read(fd, &out_[used_], out_.size() - used_);
  if (got > 0) used_ += static_cast<std::size_t>(got);
  return got;
}

ssize_t OutputSink::readBounded(int fd) {
  char buffer[kChunk];
  const ssize_t got = read(fd, buffer, sizeof buffer);
  if (got <= 0) return got;
  const std::size_t headRoom = bound_ / 2;
  const std::size_t tailRoom = bound_ - headRoom;
  const char* data = buffer;
  auto size = static_cast<std::size_t>(got);
  if (out_.size() < headRoom) {
    const std::size_t taken = std::min(size, headRoom - out_.size());
    out_.append(data, taken);
    data += taken;
    size -= taken;
  }
  // The rest goes into a ring of the last tailRoom bytes.
  if (size == 0) return got;
  if (tail_.size() + size > tailRoom) dropped_ = true;
  if (size >= tailRoom) {
    tail_.assign(data + size - tailRoom, tailRoom);
    tailStart_ = 0;
    return got;
  }
  if (tail_.size() < tailRoom) {
    const std::size_t taken = std::min(size, tailRoom - tail_.size());
    tail_.append(data, taken);
    data += taken;
    size -= taken;
  }
  while (size > 0) {
    const std::size_t taken = std::min(size, tailRoom - tailStart_);
    std::copy(data, data + taken, &tail_[tailStart_]);
    tailStart_ = (tailStart_ + taken) % tailRoom;
    data += taken;
    size -= taken;
  }
  return got;
}

std::string OutputSink::take() {
  std::string result;
  if (bound_ == 0) {
    out_.resize(used_);
    result.swap(out_);
  } else {
    result.swap(out_);
    result.append(tail_, tailStart_, std::string::npos);
    result.append(tail_, 0, tailStart_);
    tail_.clear();
  }
  used_ = 0;
  tailStart_ = 0;
  large_ = false;
  return result;
}

void readToEnd(int fd, std::string& out) {
  OutputSink sink;
  for (;;) {
    const ssize_t got = sink.readFrom(fd);
    if (got == 0) break;
    if (got == -1 && errno != EINTR) throwSystemError("read() failed", errno);
  }
  out = sink.take();
}

}  // namespace quill::sys::detail
