#pragma once
// The argument array a child execs with; private to quill/sys.

#include <quill/sys/args.h>

#include <vector>

namespace quill::sys::detail {

/// The null-terminated argv of a command, pointing into the strings of its
/// argument vector (which must outlive it), with room for the shell that
/// runs a script without "#!" line. Built in the caller, so that a child
/// only reads it.
class ArgvArray {
 public:
  /// Points at the elements of `args`.
  explicit ArgvArray(const TEArgs& args);
  /// The array as exec takes it.
  char* const* get() const noexcept { return pointers_.data(); }
  /// Room for the argument array of /bin/sh running the program.
  char** shellRoom() noexcept { return shell_.data(); }

 private:
  std::vector<char*> pointers_;
  std::vector<char*> shell_;
};

/// Raises TEArgs::TEArgsError when `args` is empty: there is no program to
/// run, and the refusal must come before anything is started.
void refuseEmptyArgs(const TEArgs& args);

}  // namespace quill::sys::detail
