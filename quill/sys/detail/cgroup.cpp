#include <quill/sys/detail/cgroup.h>

#include <quill/sys/detail/fd.h>

#include <fcntl.h>

namespace quill::sys::detail {

int openCgroupDirectory(const std::string& dir) noexcept {
  if (dir.empty()) return -1;
  return keepAbove(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), 3);
}

}  // namespace quill::sys::detail
