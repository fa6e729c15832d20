#include <quill/sys/detail/child.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace quill::sys::detail {

namespace {

int keepAcrossExec(int fd) noexcept {
  const int flags = fcntl(fd, F_GETFD);
  if (flags == -1 || fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == -1) return errno;
  return 0;
}

}  // namespace

int copyFd(int src, int target) noexcept {
  if (src == target) return keepAcrossExec(src);
  // dup2 replaces target atomically; an explicit close first would leave it
  // closed when src turns out to be bad.
  if (dup2(src, target) == -1) return errno;
  return 0;
}

int moveFd(int src, int target) noexcept {
  const int failure = copyFd(src, target);
  if (failure == 0 && src != target) close(src);
  return failure;
}

int openOnto(const char* path, int flags, int target) noexcept {
  const int fd = open(path, flags | O_CLOEXEC, 0664);
  if (fd == -1) return errno;
  return moveFd(fd, target);
}

int writeFlags(bool append) noexcept {
  return O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
}

void closeFd(int& fd) noexcept {
  if (fd < 0) return;
  close(fd);
  fd = -1;
}

int writeAll(int fd, const char* data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written == -1) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return 0;
}

const char* errorText(int errorNumber) noexcept {
  const char* text = strerrordesc_np(errorNumber);
  return text != nullptr ? text : "Unknown error";
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

LineBuffer& LineBuffer::addOctal(unsigned number) noexcept {
  if (number == 0) return add("0");
  char digits[16];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + number % 8);
    number /= 8;
  } while (number != 0);
  char text[18] = {'0'};
  std::size_t used = 1;
  for (std::size_t i = 0; i < count; ++i) text[used++] = digits[count - 1 - i];
  text[used] = '\0';
  return add(text);
}

void writeLine(const LineBuffer& line) noexcept {
  char text[sizeof(LineBuffer) + 1];
  std::memcpy(text, line.text(), line.size());
  text[line.size()] = '\n';
  const int saved = errno;
  writeAll(STDERR_FILENO, text, line.size() + 1);
  errno = saved;
}

void writeChildLine(const char* program, const char* part1, const char* part2,
                    const char* part3) noexcept {
  LineBuffer line;
  line.add(program).add(": ").add(part1).add(part2).add(part3);
  writeLine(line);
}

int execFailureCode(int errorNumber) noexcept {
  return errorNumber == ENOENT ? 127 : 126;
}

}  // namespace quill::sys::detail
