#include <quill/sys/detail/layout.h>

#include <quill/errors/errors.h>
#include <quill/errors/shared_ptr.h>
#include <quill/sys/detail/confine.h>
#include <quill/sys/detail/fd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>

extern char** environ;  // NOLINT: the C library's

namespace quill::sys::detail {

namespace {

// Whether the entry "NAME=value" of an environment is the variable `name`.
bool isVariable(const std::string& entry, const std::string& name) {
  return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
         entry[name.size()] == '=';
}

// The errno an exception of a caller's hook stands for.
int errorOf(const std::exception& error) {
  if (const auto* system = dynamic_cast<const SystemError*>(&error)) return system->errorNumber;
  if (const auto* call = dynamic_cast<const TSysCallErr*>(&error)) return call->errorNumber;
  return ECANCELED;
}

}  // namespace

void refuseUnusableWords(const TEArgs& args) {
  if (args.Count() == 0) {
    throw TEArgs::TEArgsError("The argument list is empty",
                              TSharedPtr<TEArgs::TList>(new TEArgs::TList));
  }
  const TEArgs::TList& words = args.List();
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i].find('\0') != std::string::npos) {
      throw std::invalid_argument(i == 0 ? "the program name holds a zero byte"
                                         : "argument " + std::to_string(i) + " holds a zero byte");
    }
  }
}

// The cgroup is opened here, in the caller, for the child to start in;
// where it does not open, the child tries the path itself and reports why.
Layout::Layout(const TExec& cmd, bool copyEnvironment)
    : items_(itemsOf(cmd)), ownCgroup_(openCgroupDirectory(cmd.settings.cgroup)) {
  layOutWords(cmd.args);
  layOutSettings(cmd.settings);
  layOutEnvironment(cmd.settings, copyEnvironment);
}

void Layout::layOutWords(const TEArgs& args) {
  refuseUnusableWords(args);
  words_ = args.List();
  argv_.reserve(words_.size() + 1);
  for (std::string& word : words_) argv_.push_back(word.data());
  argv_.push_back(nullptr);
  shellArgv_.resize(words_.size() + 2);
}

void Layout::layOutSettings(const TChildSettings& from) {
  Settings& to = plan_.settings;
  if (!from.cgroup.empty()) placeInCgroup(from.cgroup, ownCgroup_.get());
  if (!from.directory.empty()) {
    directory_ = from.directory;
    to.directory = directory_.c_str();
  }
  to.setUmask = from.setUmask;
  to.umask = from.umask;
  for (const TChildSettings::TLimit& limit : from.limits)
    limits_.push_back({limit.resource, limit.soft, limit.hard});
  to.limits = limits_.data();
  to.limitCount = limits_.size();
  to.newSession = from.newSession;
  to.newProcessGroup = from.newProcessGroup;
  to.setIdentity = from.setIdentity;
  to.uid = from.uid;
  to.gid = from.gid;
  groups_ = from.groups;
  to.groups = groups_.data();
  to.groupCount = groups_.size();
  to.noNewPrivileges = from.noNewPrivileges;
  to.withoutCapabilities = from.withoutCapabilities;
  to.deathSignal = from.deathSignal;
}

void Layout::placeInCgroup(const std::string& dir, int fd) {
  cgroup_ = dir;
  plan_.settings.cgroup = cgroup_.c_str();
  plan_.settings.cgroupFd = fd;
}

// The child's environment, and the PATH a program name is looked up in: the
// command's own when it changes the environment (the default
// "/bin:/usr/bin" when that has none), else the caller's. A copy of the
// caller's environment where asked, so that the child never reads the one
// the caller may change meanwhile.
void Layout::layOutEnvironment(const TChildSettings& settings, bool copy) {
  using TKind = TChildSettings::TEnvChange::TKind;
  ownEnvironment_ = copy || !settings.environment.empty();
  if (!ownEnvironment_) {
    const char* path = std::getenv("PATH");
    searchList_ = path != nullptr ? path : "/bin:/usr/bin";
    return;
  }
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
    environment_.emplace_back(*entry);
  for (const TChildSettings::TEnvChange& change : settings.environment) {
    if (change.kind == TKind::Clear) {
      environment_.clear();
      continue;
    }
    std::vector<std::string> kept;
    for (std::string& entry : environment_) {
      if (!isVariable(entry, change.name)) kept.push_back(std::move(entry));
    }
    environment_.swap(kept);
    if (change.kind == TKind::Set) environment_.push_back(change.name + "=" + change.value);
  }
  searchList_ = "/bin:/usr/bin";
  for (std::string& entry : environment_) {
    envp_.push_back(entry.data());
    if (entry.compare(0, 5, "PATH=") == 0) searchList_ = entry.substr(5);
  }
  envp_.push_back(nullptr);
}

bool Layout::hooked() const noexcept {
  for (const PrepItem& item : items_) {
    if (std::holds_alternative<Hooked>(item)) return true;
  }
  return false;
}

bool Layout::feedsPipe() const noexcept {
  for (const PrepItem& item : items_) {
    if (const auto* end = std::get_if<PipelineEnd>(&item); end != nullptr && end->writes)
      return true;
  }
  return false;
}

void Layout::addStep(const Step& step) {
  steps_.push_back(step);
  if (step.kind == Step::Kind::kOpen) steps_.back().data = paths_.emplace_back(step.data).c_str();
}

const ChildPlan& Layout::plan(bool searchPath, bool clean, pid_t parent) {
  plan_.steps = steps_.data();
  plan_.stepCount = steps_.size();
  plan_.argv = argv_.data();
  plan_.envp = ownEnvironment_ ? envp_.data() : nullptr;
  plan_.searchList = searchPath ? searchList_.c_str() : nullptr;
  plan_.shellArgv = shellArgv_.data();
  plan_.parent = parent;
  plan_.clean = clean;
  // The child's own descriptors (texts it makes ready, its report pipe) go
  // above every number a step names, so that no step overwrites them.
  int floor = 3;
  for (const Step& step : steps_) {
    if (step.fd >= floor) floor = step.fd + 1;
    if (step.kind != Step::Kind::kHook && step.source >= floor) floor = step.source + 1;
  }
  plan_.floor = floor;
  return plan_;
}

template <typename Hook>
bool CommandHooks::guarded(const Hook& hook, SetupFailure& failure) noexcept {
  try {
    hook();
    return true;
  } catch (const std::exception& error) {
    failure.error = errorOf(error);
    message_ = error.what();
  } catch (...) {
    failure.error = ECANCELED;
    message_ = "unexpected error before exec";
  }
  if (failure.error == 0) failure.error = ECANCELED;  // a failure always names an error
  failure.where = SetupFailure::Where::kPreparation;
  failure.index = 0;
  return false;
}

bool CommandHooks::inChild(std::size_t preparation, SetupFailure& failure) noexcept {
  return guarded([&] { std::get<Hooked>(items_[preparation]).prep->InChild(cmd_); }, failure);
}

bool CommandHooks::beforeExec(SetupFailure& failure) noexcept {
  return guarded(
      [&] {
        if (cmd_.prep) cmd_.prep->BeforeExec(cmd_);
      },
      failure);
}

const char* CommandHooks::message() const noexcept {
  return message_.empty() ? nullptr : message_.c_str();
}

bool CommandHooks::reportExecError(int error) noexcept {
  errno = error;  // for the hook, as exec left it
  try {
    return !cmd_.prep || cmd_.prep->OnExecError(cmd_);
  } catch (...) {
    return true;
  }
}

void closePipesOf(const std::vector<PrepItem>& items) noexcept {
  for (const PrepItem& item : items) {
    int* ends = nullptr;
    if (const auto* end = std::get_if<PipelineEnd>(&item)) ends = end->ends;
    if (const auto* capture = std::get_if<Capture>(&item)) ends = capture->ends;
    if (ends == nullptr) continue;
    closeFd(ends[0]);
    closeFd(ends[1]);
  }
}

}  // namespace quill::sys::detail
