// TExec::Run: the classic runner of one command, over the shared layout and
// launcher.

#include <quill/sys/exec.h>

#include <quill/sys/detail/launch.h>
#include <quill/sys/detail/layout.h>
#include <quill/sys/detail/wait.h>

#include <unistd.h>
#include <cerrno>

namespace quill::sys {

namespace {

// The steps of the classic runner: the library's preparations as data, the
// pipes in them made by their BeforeFork hooks; the caller's own by their
// InChild hooks, in their place.
void addClassicSteps(detail::Layout& layout) {
  for (std::size_t i = 0; i < layout.items().size(); ++i) {
    const detail::PrepItem& item = layout.items()[i];
    if (std::holds_alternative<detail::Hooked>(item)) {
      layout.addStep({detail::Step::Kind::kHook, -1, static_cast<int>(i), 0, nullptr, 0});
      continue;
    }
    std::vector<detail::Step> steps;
    detail::appendClassicSteps(item, steps);
    for (const detail::Step& step : steps) layout.addStep(step);
  }
}

// Without Fork this process becomes the program: its own parent is the one
// whose end the parent-death signal stands for.
TRunResult execInPlace(const TExec& cmd, detail::Layout& layout) {
  const detail::ChildPlan& plan =
      layout.plan((cmd.flags & TExec::SearchPath) != 0, false, getppid());
  if (cmd.prep) cmd.prep->BeforeExec(cmd);
  detail::SetupFailure failure;
  const int error = detail::applySettings(plan.settings, plan.parent, failure)
                        ? detail::execProgram(plan)
                        : failure.error;
  errno = error;
  if (cmd.prep && !cmd.prep->OnExecError(cmd)) return {-1, 0};
  throw TSysCallErr(error);
}

}  // namespace

TRunResult TExec::Run() const {
  // Everything the child needs is laid out before it starts, so that the
  // child only reads it.
  detail::Layout layout(*this);
  if ((flags & Fork) == 0) return execInPlace(*this, layout);

  try {
    if (prep) prep->BeforeFork(*this);
  } catch (...) {
    detail::closePipesOf(layout.items());  // what the hooks before the failing one made
    throw;
  }
  // The pipes of the preparations exist now that BeforeFork has run.
  addClassicSteps(layout);
  detail::CommandHooks hooks(*this, layout.items());
  detail::LaunchRequest request;
  request.plan = &layout.plan((flags & SearchPath) != 0, false, getpid());
  request.hooks = layout.hooked() ? &hooks : nullptr;
  request.waitForExec = true;  // the layout lives in this frame
  request.reportLine = true;
  const detail::Launched child = detail::launch(request);
  if (child.pid == -1) {
    detail::closePipesOf(layout.items());  // no child will use what BeforeFork made
    errno = child.error;
    if (prep && !prep->OnForkError(*this)) return {-1, 0};
    throw TSysCallErr(child.error);
  }
  try {
    if (prep) prep->InParent(*this);
  } catch (...) {
    detail::killAndReap(child.pid);
    detail::closePipesOf(layout.items());
    throw;
  }
  if ((flags & Wait) == 0) return {child.pid, 0};

  int status = 0;
  if (detail::waitFor(child.pid, &status) == -1) throw TSysCallErr(errno);
  return {child.pid, detail::decodeStatus(status).code};
}

}  // namespace quill::sys
