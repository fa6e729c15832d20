#include "tests/support/tool_files.h"

#include "tests/support/sandbox.h"

#include <linux/capability.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace quill::test {

std::string bytesOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

void writeBytes(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  if (chmod(path.c_str(), mode) != 0) throw std::runtime_error("cannot chmod " + path);
}

int modeOf(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

bool exists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TinyFileSystem::TinyFileSystem(const std::string& directory, const std::string& size)
    : directory_(directory) {
  error_ = sandboxUnavailableReason();
  if (!error_.empty()) return;
  const std::string options = "size=" + size + ",mode=0755";
  if (mount("tmpfs", directory.c_str(), "tmpfs", 0, options.c_str()) != 0)
    error_ = std::string("cannot mount a tmpfs over ") + directory + ": " + std::strerror(errno);
}

TinyFileSystem::~TinyFileSystem() {
  if (error_.empty()) umount2(directory_.c_str(), MNT_DETACH);
}

std::vector<int> descriptorsOn(const std::string& path) {
  std::vector<int> found;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ignored)) {
    // The listing's own descriptor is gone by the time its link is read.
    const std::filesystem::path target = std::filesystem::read_symlink(entry.path(), ignored);
    if (!ignored && target == path) found.push_back(std::stoi(entry.path().filename().string()));
  }
  std::sort(found.begin(), found.end());
  return found;
}

mode_t setUmask(mode_t mask) {
  return umask(mask);
}

bool dropCapabilities(std::initializer_list<int> capabilities) {
  for (int capability : capabilities) {
    // Without CAP_SETPCAP the bounding set stays, but then exec grants
    // nothing beyond what this process has anyway.
    if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno != EINVAL && errno != EPERM)
      return false;
  }
  __user_cap_header_struct header{};
  header.version = _LINUX_CAPABILITY_VERSION_3;
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  for (int capability : capabilities) {
    const unsigned bit = 1u << (capability % 32);
    data[capability / 32].effective &= ~bit;
    data[capability / 32].inheritable &= ~bit;
  }
  return syscall(SYS_capset, &header, data) == 0;
}

bool dropFileAccessOverride() {
  return dropCapabilities({CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH});
}

std::map<std::string, std::string> extendedAttributesOf(const std::string& path) {
  std::map<std::string, std::string> attributes;
  char names[65536];
  const ssize_t length = llistxattr(path.c_str(), names, sizeof names);
  if (length < 0 && errno == ENOTSUP) return attributes;
  if (length < 0) throw std::runtime_error("cannot list the attributes of " + path);
  for (const char* name = names; name < names + length; name += std::strlen(name) + 1) {
    char value[65536];
    const ssize_t size = lgetxattr(path.c_str(), name, value, sizeof value);
    if (size < 0) throw std::runtime_error("cannot read " + std::string(name) + " of " + path);
    attributes[name].assign(value, static_cast<std::size_t>(size));
  }
  return attributes;
}

}  // namespace quill::test
