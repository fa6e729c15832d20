#include <quill/sys/detail/fd.h>

#include <quill/errors/errors.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace quill::sys::detail {

namespace {

int keepAcrossExec(int fd) noexcept {
  const long flags = rawSyscall(SYS_fcntl, fd, F_GETFD);
  if (flags < 0) return errorOf(flags);
  return errorOf(rawSyscall(SYS_fcntl, fd, F_SETFD, flags & ~FD_CLOEXEC));
}

}  // namespace

int copyFd(int src, int target) noexcept {
  if (src == target) return keepAcrossExec(src);
  // dup3 replaces target atomically; an explicit close first would leave it
  // closed when src turns out to be bad.
  return errorOf(rawSyscall(SYS_dup3, src, target, 0));
}

int moveFd(int src, int target) noexcept {
  const int failure = copyFd(src, target);
  if (failure == 0 && src != target) closeInChild(src);
  return failure;
}

int openOnto(const char* path, int flags, int target) noexcept {
  const long fd =
      rawSyscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>(path), flags | O_CLOEXEC, 0664);
  if (fd < 0) return errorOf(fd);
  return moveFd(static_cast<int>(fd), target);
}

void closeInChild(int fd) noexcept {
  rawSyscall(SYS_close, fd);
}

int writeAll(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const long written =
        rawSyscall(SYS_write, fd, reinterpret_cast<long>(data), static_cast<long>(size));
    if (written == -EINTR) continue;
    if (written < 0) return errorOf(written);
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

int writeFlags(bool append) noexcept {
  return O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
}

const char* errorText(int errorNumber) noexcept {
  const char* text = strerrordesc_np(errorNumber);
  return text != nullptr ? text : "Unknown error";
}

void closeFd(int& fd) noexcept {
  if (fd < 0) return;
  close(fd);
  fd = -1;
}

int keepAbove(int fd, int floor) noexcept {
  if (fd < 0 || fd >= floor) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, floor);
  const int error = errno;
  close(fd);
  errno = error;
  return moved;
}

PipeEnds makePipe(int floor) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == -1) throw TSysCallErr(errno);
  PipeEnds pipe{keepAbove(fds[0], floor), -1};
  if (pipe.read == -1) {
    const int error = errno;
    close(fds[1]);
    throw TSysCallErr(error);
  }
  pipe.write = keepAbove(fds[1], floor);
  if (pipe.write == -1) {
    const int error = errno;
    closeFd(pipe.read);
    throw TSysCallErr(error);
  }
  return pipe;
}

LineBuffer& LineBuffer::add(const char* text) noexcept {
  if (text == nullptr) return *this;
  for (; *text != '\0' && used_ < sizeof text_ - 1; ++text) text_[used_++] = *text;
  text_[used_] = '\0';
  return *this;
}

LineBuffer& LineBuffer::addNumber(long long number) noexcept {
  char digits[24];
  std::size_t count = 0;
  const bool negative = number < 0;
  unsigned long long rest = negative ? 0ULL - static_cast<unsigned long long>(number)
                                     : static_cast<unsigned long long>(number);
  do {
    digits[count++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  if (negative) add("-");
  char text[24];
  for (std::size_t i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
  text[count] = '\0';
  return add(text);
}

void writeLine(const LineBuffer& line) noexcept {
  char text[sizeof(LineBuffer) + 1];
  for (std::size_t i = 0; i < line.size(); ++i) text[i] = line.text()[i];
  text[line.size()] = '\n';
  writeAll(STDERR_FILENO, text, line.size() + 1);
}

int execFailureCode(int errorNumber) noexcept {
  return errorNumber == ENOENT ? 127 : 126;
}

}  // namespace quill::sys::detail
