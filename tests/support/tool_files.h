#pragma once
// File helpers for the tests of the files subsystem and of the zone tool:
// whole-file reads, modes and directory listings (and the scratch directory,
// scratch_dir.h).

#include "tests/support/scratch_dir.h"

#include <sys/types.h>

#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace quill::test {

// The bytes of a file; throws std::runtime_error if it cannot be read.
std::string bytesOf(const std::string& path);

// Writes content exactly, creating or truncating the file, and sets mode.
void writeBytes(const std::string& path, const std::string& content, mode_t mode = 0644);

// The permission bits (07777) of a file, not following a link; -1 if absent.
int modeOf(const std::string& path);

// Whether a name exists in any form, a dangling link included.
bool exists(const std::string& path);

// The names in a directory, sorted, without "." and "..".
std::vector<std::string> namesIn(const std::string& directory);

// The descriptors of this process that are open on path, in ascending order.
std::vector<int> descriptorsOn(const std::string& path);

// Sets the process umask; returns the previous one.
mode_t setUmask(mode_t mask);

// Runs fn with the umask set to mask and restores the previous one after.
template <typename Fn>
auto withUmask(mode_t mask, Fn fn) {
  struct Restore {
    mode_t old;
    ~Restore() { setUmask(old); }
  } restore{setUmask(mask)};
  return fn();
}

// A tmpfs of a few pages mounted over a directory, to make writes run out
// of space; unmounted on destruction. Needs the private namespaces of the
// sandbox (the mount is never seen outside this process's namespace): check
// error() and skip when it is not empty.
class TinyFileSystem {
 public:
  TinyFileSystem(const std::string& directory, const std::string& size);
  ~TinyFileSystem();

  TinyFileSystem(const TinyFileSystem&) = delete;
  TinyFileSystem& operator=(const TinyFileSystem&) = delete;

  const std::string& error() const { return error_; }

 private:
  std::string directory_;
  std::string error_;
};

// Removes the capabilities from this process's effective and inheritable
// sets and from its bounding set, so that neither it nor the programs it
// executes (even as root) have them. Meant for a child process; false (errno
// set) if the kernel refused. Allocates nothing.
bool dropCapabilities(std::initializer_list<int> capabilities);

// dropCapabilities() of CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH: ordinary
// permission checks even for root.
bool dropFileAccessOverride();

// The extended attributes of a file, not following a link: name -> value.
// Empty where the file system has none; throws std::runtime_error if they
// cannot be read.
std::map<std::string, std::string> extendedAttributesOf(const std::string& path);

}  // namespace quill::test
