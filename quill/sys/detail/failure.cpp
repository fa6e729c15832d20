#include <quill/sys/detail/failure.h>

#include <sys/resource.h>

namespace quill::sys::detail {

namespace {

const char* limitName(int resource) noexcept {
  switch (resource) {
    case RLIMIT_CPU: return "RLIMIT_CPU";
    case RLIMIT_FSIZE: return "RLIMIT_FSIZE";
    case RLIMIT_DATA: return "RLIMIT_DATA";
    case RLIMIT_STACK: return "RLIMIT_STACK";
    case RLIMIT_CORE: return "RLIMIT_CORE";
    case RLIMIT_RSS: return "RLIMIT_RSS";
    case RLIMIT_NPROC: return "RLIMIT_NPROC";
    case RLIMIT_NOFILE: return "RLIMIT_NOFILE";
    case RLIMIT_MEMLOCK: return "RLIMIT_MEMLOCK";
    case RLIMIT_AS: return "RLIMIT_AS";
    default: return nullptr;
  }
}

void describeStepOf(const Step& step, LineBuffer& line) noexcept {
  switch (step.kind) {
    case Step::Kind::kOpen:
      line.add("open ").add(step.data).add(" onto ").addNumber(step.fd);
      break;
    case Step::Kind::kCopy:
    case Step::Kind::kMove:
      line.add("dup ").addNumber(step.source).add(" onto ").addNumber(step.fd);
      break;
    case Step::Kind::kClose: line.add("close ").addNumber(step.fd); break;
    case Step::Kind::kText: line.add("text onto ").addNumber(step.fd); break;
    case Step::Kind::kHook: line.add("preparation"); break;
  }
}

}  // namespace

void describeStep(const ChildPlan& plan, const SetupFailure& failure, LineBuffer& line) noexcept {
  using Where = SetupFailure::Where;
  const Settings& settings = plan.settings;
  switch (failure.where) {
    case Where::kNone: break;
    case Where::kCgroup: line.add("cgroup ").add(settings.cgroup); break;
    case Where::kDirectory: line.add("chdir ").add(settings.directory); break;
    case Where::kLimit: {
      const Limit& limit = settings.limits[failure.index];
      line.add("setrlimit ");
      if (const char* name = limitName(limit.resource)) {
        line.add(name);
      } else {
        line.addNumber(limit.resource);
      }
      break;
    }
    case Where::kSession: line.add("setsid"); break;
    case Where::kProcessGroup: line.add("setpgid 0 0"); break;
    case Where::kGroups: line.add("setgroups"); break;
    case Where::kGid: line.add("setgid ").addNumber(settings.gid); break;
    case Where::kUid: line.add("setuid ").addNumber(settings.uid); break;
    case Where::kNoNewPrivileges: line.add("prctl PR_SET_NO_NEW_PRIVS"); break;
    case Where::kCapabilities: line.add("drop capabilities"); break;
    case Where::kDeathSignal:
      line.add("prctl PR_SET_PDEATHSIG ").addNumber(settings.deathSignal);
      break;
    case Where::kPreparation: line.add("preparation"); break;
    case Where::kExec: line.add("exec ").add(plan.argv[0]); break;
    case Where::kStep: describeStepOf(plan.steps[failure.index], line); break;
  }
}

void describeFailureLine(const ChildPlan& plan, const SetupFailure& failure, const char* message,
                         LineBuffer& line) noexcept {
  using Where = SetupFailure::Where;
  line.add(plan.argv[0]).add(": ");
  if (failure.where == Where::kPreparation && message != nullptr && *message != '\0') {
    line.add(message);
    return;
  }
  if (failure.where == Where::kStep) {
    const Step& step = plan.steps[failure.index];
    if (step.kind == Step::Kind::kOpen) line.add(step.data).add(": open failed: ");
  } else if (failure.where != Where::kExec && failure.where != Where::kPreparation) {
    describeStep(plan, failure, line);
    line.add(": ");
  }
  line.add(errorText(failure.error));
}

int failureExitCode(const SetupFailure& failure) noexcept {
  return failure.where == SetupFailure::Where::kExec ? execFailureCode(failure.error)
                                                     : kSetupFailureCode;
}

}  // namespace quill::sys::detail
