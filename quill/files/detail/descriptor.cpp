#include <quill/files/detail/descriptor.h>

#include <quill/errors/errors.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace quill::detail {
namespace {

// What the reader asks for first when the size is not known in advance.
constexpr std::size_t kFirstRead = std::size_t{64} * 1024;

}  // namespace

OwnedDescriptor::~OwnedDescriptor() {
  close();
}

int OwnedDescriptor::close() noexcept {
  if (descriptor_ < 0) return 0;
  const int result = ::close(descriptor_);
  descriptor_ = -1;
  return result == 0 ? 0 : errno;
}

std::string readToEnd(int descriptor, const std::string& path) {
  std::string content;
  // A regular file's size saves the regrowing; files in /proc report 0 and
  // simply grow the buffer as they are read.
  struct stat info;
  std::size_t capacity = kFirstRead;
  if (::fstat(descriptor, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
    capacity = static_cast<std::size_t>(info.st_size) + 1;
  std::size_t length = 0;
  for (;;) {
    if (length == content.size()) content.resize(std::max(capacity, 2 * length));
    const ssize_t got = ::read(descriptor, &content[length], content.size() - length);
    if (got > 0) {
      length += static_cast<std::size_t>(got);
      continue;
    }
    if (got == 0) break;
    if (errno == EINTR) continue;
    // A read error (a directory, an I/O error): a short result must never
    // pass for the whole file.
    const int error = errno;
    throwSystemError(path + ": read failed", error);
  }
  content.resize(length);
  return content;
}

}  // namespace quill::detail
