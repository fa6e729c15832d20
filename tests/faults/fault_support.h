#pragma once
// Helpers of the fault-injection tests: conditions that make system calls
// fail for real (a small tmpfs that can be filled or made read-only, a
// descriptor limit), a way to run code that may end the process in a forked
// child and learn how it ended, and descriptions of errors that name their
// exact class.
//
// ScratchMount needs the private mount namespace that the test sandbox enters
// (call QUILL_REQUIRE_SANDBOX() first in tests that link the sandbox). The
// other helpers need nothing special.

#include "tests/support/in_child.h"
#include "tests/support/tool_files.h"

#include <sys/types.h>

#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace quill::test {

// Catches what `operation` raises and describes it; "nothing raised" when it
// returns.
template <typename Operation>
std::string raisedBy(Operation operation) {
  try {
    operation();
  } catch (const std::exception& error) {
    return describe(error);
  }
  return "nothing raised";
}

// A tmpfs of its own on a fresh directory, mounted with `options` ("size=",
// "nr_inodes=") in this process's mount namespace; unmounted and removed on
// destruction.
class ScratchMount {
 public:
  explicit ScratchMount(const std::string& options);
  ~ScratchMount();
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

  // Remounts it read-only; empty on success, else why not.
  std::string makeReadOnly();
  // Takes every free inode (files named "fill-N"), so that creating any
  // further file fails with ENOSPC; empty on success, else why not.
  std::string useUpInodes();

 private:
  ScratchDir dir_;
  std::string path_;
  std::string error_;
  bool mounted_ = false;
};

// Lowers the soft descriptor limit so that exactly `spare` more descriptors
// can be opened; restores the old limit on destruction.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(int spare);
  ~DescriptorLimit();
  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;

 private:
  unsigned long saved_;
};

// Runs `body` in a forked child with a termination handler of its own:
// "terminated by <describe()>" when it ended through std::terminate with an
// exception pending, "returned" when it returned.
std::string terminationOf(const std::function<void()>& body);

// The names in a directory, sorted.
std::vector<std::string> listing(const std::string& directory);

// A whole file; "<missing>" when it cannot be opened.
std::string contentOf(const std::string& path);

// What a child wrote to its standard error, less the notes that
// AddressSanitizer adds when a child started on a stack of its own (the
// library's vfork-style start) ends through a function that does not return:
// they are the sanitizer's, not the library's, and only appear in sanitized
// builds.
std::string childErrors(const std::string& path);

// True when this test program runs under the sanitizers' check
// (scripts/check-sanitizers sets QUILL_SANITIZED).
bool underSanitizers();

// True when this test program runs under memcheck (scripts/check-valgrind
// sets QUILL_UNDER_MEMCHECK).
bool underMemcheck();

// Creates or truncates `path` with exactly `content`.
void writeContent(const std::string& path, const std::string& content);

}  // namespace quill::test
