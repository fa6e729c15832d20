#include <quill/sys/detail/spawn.h>

#include <unistd.h>

namespace quill::sys::detail {

pid_t startChild(const TExec& cmd, char* const argv[], ForkedChild child) {
  const pid_t pid = fork();
  if (pid == 0) child(cmd, argv);
  return pid;
}

}  // namespace quill::sys::detail
