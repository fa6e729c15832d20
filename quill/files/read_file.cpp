#include <quill/files/read_file.h>

#include <quill/errors/errors.h>
#include <quill/files/detail/descriptor.h>

#include <fcntl.h>

#include <cerrno>
#include <sstream>

namespace quill {

std::string readStream(std::istream& in) {
  std::stringbuf content(std::ios::in | std::ios::out);
  // The extraction skips leading white space like any formatted input unless
  // told not to, and a copy must keep every byte.
  const std::ios::fmtflags flags = in.flags();
  in >> std::noskipws >> &content;
  in.flags(flags);
  return content.str();
}

std::string readFile(const std::string& path) {
  // Close-on-exec: a program that runs children while it reads must not hand
  // them the file.
  const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    const int error = errno;
    throwSystemError(path + ": open failed", error);
  }
  const detail::OwnedDescriptor owner(descriptor);
  return detail::readToEnd(descriptor, path);
}

}  // namespace quill
