#include "tests/support/scratch_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace quill::test {

ScratchDir::ScratchDir() {
  char name[] = "/tmp/quill-test-XXXXXX";
  if (mkdtemp(name) == nullptr)
    throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  path_ = name;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  // Tests may leave read-only directories behind; make them removable.
  chmod(path_.c_str(), 0700);
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) chmod(it->path().c_str(), 0700);
  }
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace quill::test
