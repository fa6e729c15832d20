#include <quill/sys/detail/run.h>

#include <quill/sys/detail/argv.h>
#include <quill/sys/detail/describe.h>
#include <quill/sys/detail/wait.h>
#include <quill/sys/exec_list.h>

namespace quill::sys::detail {

TRunResult ListRun::start() {
  // An unusable command is refused before its predecessors are started.
  for (const TExec& cmd : list_) refuseEmptyArgs(cmd.args);
  TRunResult result{0, 0};
  try {
    for (const TExec& cmd : list_) {
      result = cmd.Run();
      const bool waited = (cmd.flags & TExec::Wait) != 0;
      if ((cmd.flags & TExec::Fork) != 0 && !waited && result.pid > 0) {
        unwaited_.push_back({result.pid, &cmd});
      }
    }
  } catch (...) {
    abort();
    throw;
  }
  return result;
}

void ListRun::abort() noexcept {
  for (const TExec& cmd : list_) closePipesOf(cmd);
  // The remaining stages would only block on pipes whose other ends are
  // gone or run without purpose: end them rather than leave them unreaped.
  for (const StartedChild& child : unwaited_) killAndReap(child.pid);
  unwaited_.clear();
}

}  // namespace quill::sys::detail
