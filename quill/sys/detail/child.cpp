#include <quill/sys/detail/child.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace quill::sys::detail {

int moveFd(int src, int target) noexcept {
  if (src == target) {
    const int flags = fcntl(src, F_GETFD);
    if (flags == -1 || fcntl(src, F_SETFD, flags & ~FD_CLOEXEC) == -1) return errno;
    return 0;
  }
  // dup2 replaces target atomically; an explicit close first would leave it
  // closed when src turns out to be bad.
  if (dup2(src, target) == -1) return errno;
  close(src);
  return 0;
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

void writeChildLine(const char* program, const char* part1, const char* part2,
                    const char* part3) noexcept {
  char line[1024];
  std::size_t used = 0;
  auto append = [&](const char* text) {
    if (text == nullptr) return;
    for (; *text != '\0' && used < sizeof line - 1; ++text) line[used++] = *text;
  };
  append(program);
  append(": ");
  append(part1);
  append(part2);
  append(part3);
  line[used++] = '\n';
  const int saved = errno;
  writeAll(STDERR_FILENO, line, used);
  errno = saved;
}

int execFailureCode(int errorNumber) noexcept {
  return errorNumber == ENOENT ? 127 : 126;
}

}  // namespace quill::sys::detail
