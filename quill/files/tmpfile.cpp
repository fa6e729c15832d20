#include <quill/files/tmpfile.h>

#include <quill/errors/errors.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <vector>

namespace quill {
namespace {

constexpr std::size_t kBufferSize = 2048;

}  // namespace

OpenedFile createTempFile(const std::string& prefix) {
  std::vector<char> name(prefix.begin(), prefix.end());
  name.insert(name.end(), {'X', 'X', 'X', 'X', 'X', 'X', '\0'});
  // Close-on-exec: the panel's programs run children, which must not inherit
  // the files they are writing.
  const int descriptor = mkostemp(name.data(), O_CLOEXEC);
  if (descriptor < 0) {
    const int error = errno;
    throwSystemError("mkstemp() failed", error);
  }
  return OpenedFile{std::string(name.data()), descriptor};
}

TmpFileBase::TmpFileBase(const OpenedFile& file)
    : path(file.path), buffer(file.descriptor, std::ios::out, kBufferSize) {
  // The buffer owns the descriptor only once attached; otherwise nobody would
  // ever close it.
  if (!buffer.is_open() && file.descriptor >= 0) ::close(file.descriptor);
}

TmpFileBase::~TmpFileBase() {
  buffer.close();
}

int TmpFileBase::sync() noexcept {
  if (!buffer.is_open()) return EBADF;
  errno = 0;
  if (buffer.pubsync() != 0) return errno != 0 ? errno : EIO;
  if (::fsync(buffer.fd()) != 0) return errno;
  return 0;
}

int TmpFileBase::syncAndClose() noexcept {
  if (!buffer.is_open()) return EBADF;
  int error = sync();
  errno = 0;
  if (buffer.close() == nullptr && error == 0) error = errno != 0 ? errno : EIO;
  return error;
}

TmpFile::TmpFile(const std::string& prefix)
    : TmpFileBase(createTempFile(prefix)), std::ostream(&buffer) {}

TmpFile::~TmpFile() {
  if (!autoclean_) return;
  if (::unlink(TmpFileBase::path.c_str()) != 0 && errno != ENOENT) {
    const int error = errno;
    std::cerr << "TmpFile autoclean failed: " << std::strerror(error) << std::endl;
  }
}

}  // namespace quill
