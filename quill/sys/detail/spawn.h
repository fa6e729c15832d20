#pragma once
// How the executor starts a child; private to quill/sys.

#include <quill/sys/exec.h>

#include <sys/types.h>
#include <vector>

namespace quill::sys::detail {

/// The null-terminated argv of a command, pointing into the strings of its
/// argument vector (which must outlive it). Built in the caller, so that the
/// child only reads it.
class ArgvArray {
 public:
  /// Points at the elements of `args`.
  explicit ArgvArray(const TEArgs& args);
  /// The array as exec takes it.
  char* const* get() const noexcept { return pointers_.data(); }

 private:
  std::vector<char*> pointers_;
};

/// Raises TEArgs::TEArgsError when `args` is empty: there is no program to
/// run, and the refusal must come before anything is started.
void refuseEmptyArgs(const TEArgs& args);

/// The code a fully forked child runs; never returns.
using ForkedChild = void (*)(const TExec& cmd, char* const argv[]) noexcept;

/// Starts the child of `cmd` after its BeforeFork hooks have run: in the
/// child runs `child`, which sets it up and execs. Returns the child's pid,
/// or -1 with errno set when no child could be started.
pid_t startChild(const TExec& cmd, char* const argv[], ForkedChild child);

}  // namespace quill::sys::detail
