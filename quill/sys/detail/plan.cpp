#include <quill/sys/detail/plan.h>

#include <quill/sys/detail/child.h>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstring>

namespace quill::sys::detail {

namespace {

// A text the pipe holds whole is written into it before exec, so the program
// reads a pipe as usual. A longer one would block the child while nobody
// reads: it goes into an anonymous file instead, from which the program
// reads it all without any writer process.
int feedText(int target, const char* data, std::size_t size) noexcept {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == -1) return errno;
  const int capacity = fcntl(fds[1], F_GETPIPE_SZ);
  if (capacity > 0 && size <= static_cast<std::size_t>(capacity)) {
    const int failure = writeAll(fds[1], data, size);
    close(fds[1]);
    if (failure == 0) return moveFd(fds[0], target);
    close(fds[0]);
    return failure;
  }
  close(fds[0]);
  close(fds[1]);
  const int file = memfd_create("quill-stdin", MFD_CLOEXEC);
  if (file == -1) return errno;
  int failure = writeAll(file, data, size);
  if (failure == 0 && lseek(file, 0, SEEK_SET) == -1) failure = errno;
  if (failure == 0) return moveFd(file, target);
  close(file);
  return failure;
}

int runStep(const Step& step) noexcept {
  switch (step.kind) {
    case Step::Kind::kOpen: return openOnto(step.data, step.flags, step.fd);
    case Step::Kind::kCopy: return copyFd(step.source, step.fd);
    case Step::Kind::kMove: return moveFd(step.source, step.fd);
    case Step::Kind::kClose: close(step.fd); return 0;
    case Step::Kind::kText: return feedText(step.fd, step.data, step.size);
  }
  return EINVAL;
}

bool fail(SetupFailure& failure, SetupFailure::Where where, int error,
          std::uint32_t index = 0) noexcept {
  failure.where = where;
  failure.index = index;
  failure.error = error;
  return false;
}

// execvp's way with a file that is no executable format: run it as a shell
// script.
void execUnderShell(const ChildPlan& plan, const char* path, char* const* envp) noexcept {
  if (plan.shellArgv == nullptr) return;
  char** argv = plan.shellArgv;
  argv[0] = const_cast<char*>("/bin/sh");
  argv[1] = const_cast<char*>(path);
  std::size_t i = 1;
  for (; plan.argv[i] != nullptr; ++i) argv[i + 1] = plan.argv[i];
  argv[i + 1] = nullptr;
  execve(argv[0], argv, envp);
}

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

}  // namespace

void prepareSignals(bool clean, const sigset_t* callerMask) noexcept {
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (!clean) {
      struct sigaction action;
      if (sigaction(sig, nullptr, &action) != 0) continue;
      if (action.sa_handler == SIG_IGN || action.sa_handler == SIG_DFL) continue;
    }
    // SIGKILL, SIGSTOP and the C library's own signals refuse; nothing to do.
    sigaction(sig, &byDefault, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, clean || callerMask == nullptr ? &none : callerMask, nullptr);
}

void closeCallerDescriptorsAtExec() noexcept {
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11: flag them one by one.
  struct rlimit limit;
  long last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                  ? static_cast<long>(limit.rlim_cur)
                  : 65536;
  for (int fd = 3; fd < last; ++fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags != -1 && (flags & FD_CLOEXEC) == 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
}

bool applySettings(const Settings& settings, pid_t parent, SetupFailure& failure) noexcept {
  using Where = SetupFailure::Where;
  if (settings.directory != nullptr && chdir(settings.directory) == -1)
    return fail(failure, Where::kDirectory, errno);
  if (settings.setUmask) umask(settings.umask);
  for (std::size_t i = 0; i < settings.limitCount; ++i) {
    const Limit& limit = settings.limits[i];
    const struct rlimit value = {limit.soft, limit.hard};
    if (setrlimit(static_cast<__rlimit_resource>(limit.resource), &value) == -1)
      return fail(failure, Where::kLimit, errno, static_cast<std::uint32_t>(i));
  }
  if (settings.newSession && setsid() == -1) return fail(failure, Where::kSession, errno);
  // A session leader already leads a group of its own, and may not move.
  if (settings.newProcessGroup && !settings.newSession && setpgid(0, 0) == -1)
    return fail(failure, Where::kProcessGroup, errno);
  if (settings.setIdentity) {
    if (syscall(SYS_setgroups, settings.groupCount, settings.groups) == -1)
      return fail(failure, Where::kGroups, errno);
    if (syscall(SYS_setresgid, settings.gid, settings.gid, settings.gid) == -1)
      return fail(failure, Where::kGid, errno);
    if (syscall(SYS_setresuid, settings.uid, settings.uid, settings.uid) == -1)
      return fail(failure, Where::kUid, errno);
  }
  // After the identity: changing it clears the parent-death signal.
  if (settings.deathSignal != 0) {
    if (prctl(PR_SET_PDEATHSIG, settings.deathSignal) == -1)
      return fail(failure, Where::kDeathSignal, errno);
    // The caller may have ended before the signal was asked for; then it
    // never comes, so deliver it now.
    if (getppid() != parent) {
      kill(getpid(), settings.deathSignal);
      return fail(failure, Where::kDeathSignal, ESRCH);
    }
  }
  return true;
}

bool runSteps(const Step* steps, std::size_t count, SetupFailure& failure) noexcept {
  for (std::size_t i = 0; i < count; ++i) {
    const int error = runStep(steps[i]);
    if (error != 0)
      return fail(failure, SetupFailure::Where::kStep, error, static_cast<std::uint32_t>(i));
  }
  return true;
}

int execProgram(const ChildPlan& plan) noexcept {
  const char* file = plan.argv[0];
  char* const* envp = plan.envp != nullptr ? plan.envp : environ;
  if (plan.searchList == nullptr) {
    execve(file, plan.argv, envp);
    return errno;
  }
  if (*file == '\0') return ENOENT;
  if (std::strchr(file, '/') != nullptr) {
    execve(file, plan.argv, envp);
    if (errno == ENOEXEC) execUnderShell(plan, file, envp);
    return errno;
  }
  // execvp's search, but through the command's own PATH.
  const std::size_t fileLength = std::strlen(file);
  bool refused = false;
  char path[PATH_MAX];
  for (const char* dir = plan.searchList;; ++dir) {
    const char* end = strchrnul(dir, ':');
    const auto dirLength = static_cast<std::size_t>(end - dir);
    if (dirLength + fileLength + 2 <= sizeof path) {
      const char* candidate = file;  // an empty entry stands for the working directory
      if (dirLength > 0) {
        std::memcpy(path, dir, dirLength);
        path[dirLength] = '/';
        std::memcpy(path + dirLength + 1, file, fileLength + 1);
        candidate = path;
      }
      execve(candidate, plan.argv, envp);
      if (errno == ENOEXEC) execUnderShell(plan, candidate, envp);
      switch (errno) {
        case EACCES: refused = true; break;
        case ENOENT:
        case ESTALE:
        case ENOTDIR:
        case ENODEV:
        case ETIMEDOUT:
        case ENOEXEC: break;
        default: return errno;
      }
    }
    if (*end == '\0') break;
    dir = end;
  }
  return refused ? EACCES : ENOENT;
}

void replayAndExec(const ChildPlan& plan, const sigset_t* callerMask,
                   SetupFailure& failure) noexcept {
  prepareSignals(plan.clean, callerMask);
  if (plan.clean) closeCallerDescriptorsAtExec();
  if (!applySettings(plan.settings, plan.parent, failure)) return;
  if (!runSteps(plan.steps, plan.stepCount, failure)) return;
  const int error = execProgram(plan);
  failure.where = SetupFailure::Where::kExec;
  failure.index = 0;
  failure.error = error;
}

void describeStep(const ChildPlan& plan, const SetupFailure& failure, LineBuffer& line) noexcept {
  using Where = SetupFailure::Where;
  const Settings& settings = plan.settings;
  switch (failure.where) {
    case Where::kNone: break;
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
    case Where::kDeathSignal:
      line.add("prctl PR_SET_PDEATHSIG ").addNumber(settings.deathSignal);
      break;
    case Where::kPreparation: line.add("preparation"); break;
    case Where::kExec: line.add("exec ").add(plan.argv[0]); break;
    case Where::kStep: {
      const Step& step = plan.steps[failure.index];
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
      }
      break;
    }
  }
}

void describeFailureLine(const ChildPlan& plan, const SetupFailure& failure,
                         LineBuffer& line) noexcept {
  using Where = SetupFailure::Where;
  line.add(plan.argv[0]).add(": ");
  if (failure.where == Where::kStep) {
    const Step& step = plan.steps[failure.index];
    if (step.kind == Step::Kind::kOpen) line.add(step.data).add(": open failed: ");
  } else if (failure.where != Where::kExec) {
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
