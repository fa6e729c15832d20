#pragma once
// The one scratch directory of the tests: a fresh directory under /tmp,
// removed with everything in it (read-only parts included) on destruction.

#include <string>

namespace quill::test {

class ScratchDir {
 public:
  // Throws std::runtime_error when no directory can be made.
  ScratchDir();
  ~ScratchDir();

  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name.
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::string operator/(const std::string& name) const { return file(name); }

 private:
  std::string path_;
};

}  // namespace quill::test
