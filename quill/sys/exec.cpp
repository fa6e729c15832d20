#include <quill/sys/exec.h>

#include <quill/sys/detail/argv.h>
#include <quill/sys/detail/child.h>
#include <quill/sys/detail/describe.h>
#include <quill/sys/detail/plan.h>
#include <quill/sys/detail/settings.h>
#include <quill/sys/detail/start.h>
#include <quill/sys/detail/wait.h>
#include <quill/sys/prepare.h>

#include <unistd.h>
#include <cerrno>
#include <exception>
#include <stdexcept>
#include <vector>

namespace quill::sys {

namespace {

// Runs in a fully forked child between fork and exec, and is the only code
// the child runs: it never returns, so the caller's code after Run runs in
// the caller alone. The hooks may allocate here (this is a full copy of the
// caller), but nothing may leave: an exception or a failed exec becomes one
// line on the child's standard error and an exit code, through _exit so
// that no exit handler runs and no stdio buffer inherited from the caller
// is flushed. The settings come first, as in every child.
[[noreturn]] void runForkedChild(const TExec& cmd, const detail::ChildPlan& plan) noexcept {
  const char* program = plan.argv[0];
  int code = detail::kSetupFailureCode;
  try {
    detail::SetupFailure failure;
    if (!detail::applySettings(plan.settings, plan.parent, failure)) {
      detail::LineBuffer line;
      detail::describeFailureLine(plan, failure, line);
      detail::writeLine(line);
      _exit(code);
    }
    if (cmd.prep) cmd.prep->InChild(cmd);
    if (cmd.prep) cmd.prep->BeforeExec(cmd);
    const int error = detail::execProgram(plan);
    code = detail::execFailureCode(error);
    errno = error;  // for the hook, as exec left it
    const bool report = !cmd.prep || cmd.prep->OnExecError(cmd);
    if (report) detail::writeChildLine(program, detail::errorText(error));
  } catch (const std::exception& error) {
    detail::writeChildLine(program, error.what());
  } catch (...) {
    detail::writeChildLine(program, "unexpected error before exec");
  }
  _exit(code);
}

// The settings of `items`, gathered in their order.
void gatherSettings(const std::vector<detail::PrepItem>& items, detail::ChildSettings& settings) {
  for (const detail::PrepItem& item : items) {
    if (item.kind == detail::PrepItem::Kind::kSetting) settings.add(*item.setting);
  }
}

TExec withAdded(const TExec& cmd, TExec::TPrepare* p) {
  const TSharedPtr<TExec::TPrepare> owned(p);
  TExec copy(cmd);
  copy.AddPrep(owned);
  return copy;
}

TExec withSetting(const TExec& cmd, const detail::SettingPrep& setting) {
  return withAdded(cmd, new detail::SettingPrep(setting));
}

}  // namespace

TExec::TPrepare::~TPrepare() = default;
void TExec::TPrepare::BeforeFork(const TExec&) {}
bool TExec::TPrepare::OnForkError(const TExec&) {
  return true;
}
void TExec::TPrepare::InParent(const TExec&) {}
void TExec::TPrepare::InChild(const TExec&) {}
void TExec::TPrepare::BeforeExec(const TExec&) {}
bool TExec::TPrepare::OnExecError(const TExec&) {
  return true;
}

TExec::TExec(const TEArgs& arguments, std::uint64_t bits) : args(arguments), flags(bits) {}

int TExec::Exec(bool searchPath) const {
  detail::refuseEmptyArgs(args);
  int result = 0;
  int failure = 0;
  {
    const detail::ArgvArray argv(args);
    result = searchPath ? execvp(argv.get()[0], argv.get()) : execv(argv.get()[0], argv.get());
    failure = errno;
  }
  errno = failure;  // freeing the array must not hide why exec failed
  return result;
}

TRunResult TExec::Run() const {
  detail::refuseEmptyArgs(args);
  // Everything the child needs is laid out before it starts, so that the
  // child only reads it.
  detail::ArgvArray argv(args);
  const std::vector<detail::PrepItem> items = detail::describe(*this);
  detail::ChildSettings settings;
  gatherSettings(items, settings);
  detail::ChildPlan plan;
  plan.settings = settings.settings();
  plan.argv = argv.get();
  plan.envp = settings.environment();
  plan.searchList = (flags & SearchPath) != 0 ? settings.searchList() : nullptr;
  plan.shellArgv = argv.shellRoom();
  // Without Fork this process becomes the program: its own parent is the
  // one whose end the parent-death signal stands for.
  plan.parent = (flags & Fork) != 0 ? getpid() : getppid();

  if ((flags & Fork) == 0) {
    if (prep) prep->BeforeExec(*this);
    detail::SetupFailure failure;
    const int error = detail::applySettings(plan.settings, plan.parent, failure)
                          ? detail::execProgram(plan)
                          : failure.error;
    errno = error;
    if (prep && !prep->OnExecError(*this)) return {-1, 0};
    throw TSysCallErr(error);
  }

  try {
    if (prep) prep->BeforeFork(*this);
  } catch (...) {
    detail::closePipesOf(*this);  // what the hooks before the failing one made
    throw;
  }
  pid_t pid = -1;
  if (!detail::hasForeign(items)) {
    // The pipes exist now that BeforeFork has run.
    std::vector<detail::Step> steps;
    for (const detail::PrepItem& item : items) detail::appendValueSteps(item, steps);
    plan.steps = steps.data();
    plan.stepCount = steps.size();
    pid = detail::startChild(plan, true, nullptr, nullptr);
  } else {
    pid = fork();
    if (pid == 0) runForkedChild(*this, plan);
  }
  if (pid == -1) {
    const int failure = errno;
    detail::closePipesOf(*this);  // no child will use what BeforeFork made
    errno = failure;
    if (prep && !prep->OnForkError(*this)) return {-1, 0};
    throw TSysCallErr(failure);
  }
  try {
    if (prep) prep->InParent(*this);
  } catch (...) {
    detail::killAndReap(pid);
    detail::closePipesOf(*this);
    throw;
  }
  if ((flags & Wait) == 0) return {pid, 0};

  int status = 0;
  if (detail::waitFor(pid, &status) == -1) throw TSysCallErr(errno);
  return {pid, detail::decodeStatus(status).code};
}

void TExec::AddPrep(const TSharedPtr<TPrepare>& p) {
  prep = TSharedPtr<TPrepare>(new TUnionPrep(prep, p));
}

TExec TExec::WithFlags(std::uint64_t value) const {
  TExec copy(*this);
  copy.flags = value;
  return copy;
}

TExec TExec::WithFlagsAnd(std::uint64_t mask) const {
  return WithFlags(flags & mask);
}

TExec TExec::WithFlagsOr(std::uint64_t mask) const {
  return WithFlags(flags | mask);
}

TExec TExec::WithFlagsXor(std::uint64_t mask) const {
  return WithFlags(flags ^ mask);
}

TExec TExec::WithPrep(const TSharedPtr<TPrepare>& p) const {
  TExec copy(*this);
  copy.prep = p;
  return copy;
}

TExec TExec::StdinFromFile(const std::string& path) const {
  return withAdded(*this, new TFromFile(path));
}

TExec TExec::StdoutToFile(const std::string& path) const {
  return withAdded(*this, new TToFile(path, false));
}

TExec TExec::StdoutAppendToFile(const std::string& path) const {
  return withAdded(*this, new TToFile(path, true));
}

TExec TExec::WithRedirect(const TRedirect& r) const {
  return withAdded(*this, new TRedirect(r.fd, r.srcFd));
}

TExec TExec::WithRedirectToFile(const TRedirectToFile& r) const {
  return withAdded(*this, new TRedirectToFile(r.fd, r.fileName, r.append));
}

TExec TExec::StdinFromString(const std::string& text) const {
  return withAdded(*this, new TReadFromStr(text));
}

TExec TExec::WithEnv(const std::string& name, const std::string& value) const {
  if (name.empty() || name.find_first_of(std::string("=\0", 2)) != std::string::npos)
    throw std::invalid_argument("WithEnv: not a variable name: " + name);
  detail::SettingPrep setting(detail::SettingPrep::Kind::kSetEnv);
  setting.name = name;
  setting.value = value;
  return withSetting(*this, setting);
}

TExec TExec::WithoutEnv(const std::string& name) const {
  detail::SettingPrep setting(detail::SettingPrep::Kind::kUnsetEnv);
  setting.name = name;
  return withSetting(*this, setting);
}

TExec TExec::WithEmptyEnv() const {
  return withSetting(*this, detail::SettingPrep(detail::SettingPrep::Kind::kEmptyEnv));
}

TExec TExec::InDirectory(const std::string& path) const {
  detail::SettingPrep setting(detail::SettingPrep::Kind::kDirectory);
  setting.name = path;
  return withSetting(*this, setting);
}

TExec TExec::WithUmask(mode_t mask) const {
  detail::SettingPrep setting(detail::SettingPrep::Kind::kUmask);
  setting.mask = mask;
  return withSetting(*this, setting);
}

TExec TExec::AsUser(const std::string& user) const {
  return withSetting(*this, detail::lookUpUser(user));
}

TExec TExec::AsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) const {
  detail::SettingPrep setting(detail::SettingPrep::Kind::kIdentity);
  setting.uid = uid;
  setting.gid = gid;
  setting.groups = groups;
  return withSetting(*this, setting);
}

TExec TExec::WithLimit(int resource, rlim_t soft, rlim_t hard) const {
  detail::SettingPrep setting(detail::SettingPrep::Kind::kLimit);
  setting.limit = {resource, soft, hard};
  return withSetting(*this, setting);
}

TExec TExec::InNewSession() const {
  return withSetting(*this, detail::SettingPrep(detail::SettingPrep::Kind::kSession));
}

TExec TExec::InNewProcessGroup() const {
  return withSetting(*this, detail::SettingPrep(detail::SettingPrep::Kind::kProcessGroup));
}

TExec TExec::WithParentDeathSignal(int sig) const {
  detail::SettingPrep setting(detail::SettingPrep::Kind::kDeathSignal);
  setting.signal = sig;
  return withSetting(*this, setting);
}

}  // namespace quill::sys
