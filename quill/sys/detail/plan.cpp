#include <quill/sys/detail/plan.h>

#include <quill/sys/detail/confine.h>
#include <quill/sys/detail/fd.h>

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <climits>

extern char** environ;  // NOLINT: the C library's

namespace quill::sys::detail {

namespace {

// The kernel's sigaction, which takes every signal, the C library's own 32
// and 33 included (its wrapper refuses those).
struct KernelSigaction {
  __sighandler_t handler;
  unsigned long flags;
  void* restorer;
  unsigned long mask;
};
constexpr int kLastSignal = 64;

long sigactionOf(int sig, const KernelSigaction* set, KernelSigaction* old) noexcept {
  return rawSyscall(SYS_rt_sigaction, sig, reinterpret_cast<long>(set), reinterpret_cast<long>(old),
                    sizeof(unsigned long));
}

long limitOf(int resource, const struct rlimit* set, struct rlimit* old) noexcept {
  return rawSyscall(SYS_prlimit64, 0, resource, reinterpret_cast<long>(set),
                    reinterpret_cast<long>(old));
}

// `fd`, moved to `floor` or above (close-on-exec), or -errno.
int lift(int fd, int floor) noexcept {
  if (fd >= floor) return fd;
  const long moved = rawSyscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, floor);
  closeInChild(fd);
  return static_cast<int>(moved);
}

// Writes a text into an anonymous file under the child's file size limit:
// the limit is lifted for the write where the child may (a root with
// CAP_SYS_RESOURCE), and SIGXFSZ is held off, so that a limit can neither
// cut the input short unnoticed nor kill the child: where it cannot be
// lifted, the step fails with EFBIG.
int writeUnlimited(int file, const char* data, std::size_t size) noexcept {
  struct rlimit old = {RLIM_INFINITY, RLIM_INFINITY};
  limitOf(RLIMIT_FSIZE, nullptr, &old);
  const bool limited = old.rlim_cur != RLIM_INFINITY && old.rlim_cur < size;
  if (limited) {
    const struct rlimit none = {RLIM_INFINITY, RLIM_INFINITY};
    const struct rlimit hard = {old.rlim_max, old.rlim_max};
    if (limitOf(RLIMIT_FSIZE, &none, nullptr) < 0) limitOf(RLIMIT_FSIZE, &hard, nullptr);
  }
  const KernelSigaction ignore = {SIG_IGN, 0, nullptr, 0};
  KernelSigaction previous = {};
  sigactionOf(SIGXFSZ, &ignore, &previous);
  int failure = writeAll(file, data, size);
  if (failure == 0) failure = errorOf(rawSyscall(SYS_lseek, file, 0, SEEK_SET));
  sigactionOf(SIGXFSZ, &previous, nullptr);
  if (limited) limitOf(RLIMIT_FSIZE, &old, nullptr);
  return failure;
}

// A descriptor at `floor` or above from which a program reads the text, then
// end of file, or -errno. A text the pipe holds whole (or a pipe can be made
// to hold: up to pipe-max-size, 1 MiB unless the administrator chose more)
// is written into it, so the program reads a pipe as usual, and no file
// size limit applies. A longer one would block the child while nobody
// reads: it goes into an anonymous file instead, from which the program
// reads it all without any writer process.
int prepareText(const char* data, std::size_t size, int floor) noexcept {
  int fds[2] = {-1, -1};
  long result = rawSyscall(SYS_pipe2, reinterpret_cast<long>(fds), O_CLOEXEC);
  if (result < 0) return static_cast<int>(result);
  long capacity = rawSyscall(SYS_fcntl, fds[1], F_GETPIPE_SZ);
  if (capacity > 0 && size > static_cast<std::size_t>(capacity) && size <= INT_MAX)
    capacity = rawSyscall(SYS_fcntl, fds[1], F_SETPIPE_SZ, static_cast<long>(size));
  if (capacity > 0 && size <= static_cast<std::size_t>(capacity)) {
    const int failure = writeAll(fds[1], data, size);
    closeInChild(fds[1]);
    if (failure == 0) return lift(fds[0], floor);
    closeInChild(fds[0]);
    return -failure;
  }
  closeInChild(fds[0]);
  closeInChild(fds[1]);
  result = rawSyscall(SYS_memfd_create, reinterpret_cast<long>("quill-stdin"), MFD_CLOEXEC);
  if (result < 0) return static_cast<int>(result);
  const int file = static_cast<int>(result);
  const int failure = writeUnlimited(file, data, size);
  if (failure == 0) return lift(file, floor);
  closeInChild(file);
  return -failure;
}

// The texts of a plan are made ready before the settings: with the caller's
// rights and limits, not those meant for the program. Up to this many per
// child; a text that cannot be made ready then (or any further one) is made
// where its step stands, and a failure is reported there, after the
// redirections before it.
constexpr std::size_t kEarlyTexts = 16;

struct Texts {
  int fds[kEarlyTexts];
  std::size_t count = 0;
};

void prepareTexts(const ChildPlan& plan, Texts& texts) noexcept {
  for (std::size_t i = 0; i < plan.stepCount && texts.count < kEarlyTexts; ++i) {
    const Step& step = plan.steps[i];
    if (step.kind == Step::Kind::kText)
      texts.fds[texts.count++] = prepareText(step.data, step.size, plan.floor);
  }
}

int runStep(const Step& step, int floor, Texts* texts, std::size_t& textsUsed) noexcept {
  switch (step.kind) {
    case Step::Kind::kOpen: return openOnto(step.data, step.flags, step.fd);
    case Step::Kind::kCopy: return copyFd(step.source, step.fd);
    case Step::Kind::kMove: return moveFd(step.source, step.fd);
    case Step::Kind::kClose: closeInChild(step.fd); return 0;
    case Step::Kind::kText: {
      int fd = texts != nullptr && textsUsed < texts->count ? texts->fds[textsUsed++] : -1;
      if (fd < 0) fd = prepareText(step.data, step.size, floor);
      return fd < 0 ? -fd : moveFd(fd, step.fd);
    }
    case Step::Kind::kHook: break;  // the caller of runStep runs hooks
  }
  return 0;
}

bool fail(SetupFailure& failure, SetupFailure::Where where, long result,
          std::uint32_t index = 0) noexcept {
  failure.where = where;
  failure.index = index;
  failure.error = errorOf(result);
  return false;
}

bool runPlanSteps(const ChildPlan& plan, Texts& texts, ChildHooks* hooks, int progress,
                  SetupFailure& failure) noexcept {
  std::size_t textsUsed = 0;
  for (std::size_t i = 0; i < plan.stepCount; ++i) {
    const Step& step = plan.steps[i];
    if (step.kind == Step::Kind::kOpen)
      noteProgress(progress, SetupFailure::Where::kStep, static_cast<std::uint32_t>(i));
    if (step.kind == Step::Kind::kHook) {
      if (hooks != nullptr && !hooks->inChild(static_cast<std::size_t>(step.source), failure))
        return false;
      continue;
    }
    const int error = runStep(step, plan.floor, &texts, textsUsed);
    if (error != 0) {
      failure = {SetupFailure::Where::kStep, static_cast<std::uint32_t>(i), error};
      return false;
    }
  }
  return true;
}

bool contains(const char* text, char c) noexcept {
  for (; *text != '\0'; ++text) {
    if (*text == c) return true;
  }
  return false;
}

std::size_t lengthOf(const char* text) noexcept {
  std::size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

long execve(const char* path, char* const* argv, char* const* envp) noexcept {
  return rawSyscall(SYS_execve, reinterpret_cast<long>(path), reinterpret_cast<long>(argv),
                    reinterpret_cast<long>(envp));
}

// execvp's way with a file that is no executable format: run it as a shell
// script.
long execUnderShell(const ChildPlan& plan, const char* path, char* const* envp) noexcept {
  if (plan.shellArgv == nullptr) return -ENOEXEC;
  char** argv = plan.shellArgv;
  argv[0] = const_cast<char*>("/bin/sh");
  argv[1] = const_cast<char*>(path);
  std::size_t i = 1;
  for (; plan.argv[i] != nullptr; ++i) argv[i + 1] = plan.argv[i];
  argv[i + 1] = nullptr;
  return execve(argv[0], argv, envp);
}

// One try of execvp's search: 0 to go on with the next directory, else the
// errno to give up with. `refused` remembers a program found but not
// allowed.
int tryCandidate(const ChildPlan& plan, const char* candidate, char* const* envp,
                 bool& refused) noexcept {
  long result = execve(candidate, plan.argv, envp);
  if (result == -ENOEXEC) result = execUnderShell(plan, candidate, envp);
  switch (-result) {
    case EACCES: refused = true; return 0;
    case ENOENT:
    case ESTALE:
    case ENOTDIR:
    case ENODEV:
    case ETIMEDOUT:
    case ENOEXEC: return 0;
    default: return errorOf(result);
  }
}

// The groups, then the group id, then the user id: each change needs the
// rights the next one takes away.
bool changeIdentity(const Settings& settings, SetupFailure& failure) noexcept {
  using Where = SetupFailure::Where;
  long result = rawSyscall(SYS_setgroups, static_cast<long>(settings.groupCount),
                           reinterpret_cast<long>(settings.groups));
  if (result < 0) return fail(failure, Where::kGroups, result);
  if ((result = rawSyscall(SYS_setresgid, settings.gid, settings.gid, settings.gid)) < 0)
    return fail(failure, Where::kGid, result);
  // A new user id empties the permitted capabilities, and with them the
  // right to empty the bounding set, which is dropped only after it.
  if (settings.withoutCapabilities) {
    if (const int error = keepCapabilitiesAcrossIdentity(); error != 0)
      return fail(failure, Where::kCapabilities, -error);
  }
  if ((result = rawSyscall(SYS_setresuid, settings.uid, settings.uid, settings.uid)) < 0)
    return fail(failure, Where::kUid, result);
  return true;
}

// What the program may never gain, once the identity is the one it runs
// with.
bool confine(const Settings& settings, SetupFailure& failure) noexcept {
  int error = 0;
  if (settings.noNewPrivileges && (error = forbidNewPrivileges()) != 0)
    return fail(failure, SetupFailure::Where::kNoNewPrivileges, -error);
  if (settings.withoutCapabilities && (error = dropCapabilities()) != 0)
    return fail(failure, SetupFailure::Where::kCapabilities, -error);
  return true;
}

}  // namespace

void prepareSignals(bool clean, const sigset_t* callerMask) noexcept {
  const KernelSigaction byDefault = {SIG_DFL, 0, nullptr, 0};
  for (int sig = 1; sig <= kLastSignal; ++sig) {
    if (!clean) {
      KernelSigaction action = {};
      if (sigactionOf(sig, nullptr, &action) != 0) continue;
      if (action.handler == SIG_IGN || action.handler == SIG_DFL) continue;
    }
    // SIGKILL and SIGSTOP refuse; nothing to do for them.
    sigactionOf(sig, &byDefault, nullptr);
  }
  const unsigned long none = 0;
  const void* mask = clean || callerMask == nullptr ? static_cast<const void*>(&none) : callerMask;
  rawSyscall(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(mask), 0,
             sizeof(unsigned long));
}

void closeCallerDescriptorsAtExec() noexcept {
  if (rawSyscall(SYS_close_range, 3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  // Kernels before 5.11: flag them one by one.
  struct rlimit limit = {65536, 65536};
  limitOf(RLIMIT_NOFILE, nullptr, &limit);
  const long last = limit.rlim_cur != RLIM_INFINITY ? static_cast<long>(limit.rlim_cur) : 65536;
  for (int fd = 3; fd < last; ++fd) {
    const long flags = rawSyscall(SYS_fcntl, fd, F_GETFD);
    if (flags >= 0 && (flags & FD_CLOEXEC) == 0)
      rawSyscall(SYS_fcntl, fd, F_SETFD, flags | FD_CLOEXEC);
  }
}

void noteProgress(int progress, SetupFailure::Where where, std::uint32_t index) noexcept {
  if (progress == -1) return;
  const SetupFailure reached = {where, index, 0};
  writeAll(progress, reinterpret_cast<const char*>(&reached), sizeof reached);
}

bool applySettings(const Settings& settings, pid_t parent, SetupFailure& failure, int progress,
                   bool inCgroup) noexcept {
  using Where = SetupFailure::Where;
  // First: whatever the child does from here on is the cgroup's.
  if (settings.cgroup != nullptr && !inCgroup) {
    if (const int error = joinCgroup(settings.cgroup, settings.cgroupFd); error != 0)
      return fail(failure, Where::kCgroup, -error);
  }
  long result = 0;
  const bool enterLate = settings.setIdentity;
  auto enter = [&]() noexcept {
    noteProgress(progress, Where::kDirectory, 0);
    return rawSyscall(SYS_chdir, reinterpret_cast<long>(settings.directory));
  };
  if (settings.directory != nullptr && !enterLate && (result = enter()) < 0)
    return fail(failure, Where::kDirectory, result);
  if (settings.setUmask) rawSyscall(SYS_umask, settings.umask);
  for (std::size_t i = 0; i < settings.limitCount; ++i) {
    const Limit& limit = settings.limits[i];
    const struct rlimit value = {limit.soft, limit.hard};
    if ((result = limitOf(limit.resource, &value, nullptr)) < 0)
      return fail(failure, Where::kLimit, result, static_cast<std::uint32_t>(i));
  }
  if (settings.newSession && (result = rawSyscall(SYS_setsid)) < 0)
    return fail(failure, Where::kSession, result);
  // A session leader already leads a group of its own, and may not move.
  if (settings.newProcessGroup && !settings.newSession &&
      (result = rawSyscall(SYS_setpgid, 0, 0)) < 0)
    return fail(failure, Where::kProcessGroup, result);
  if (settings.setIdentity && !changeIdentity(settings, failure)) return false;
  if (settings.directory != nullptr && enterLate && (result = enter()) < 0)
    return fail(failure, Where::kDirectory, result);
  if (!confine(settings, failure)) return false;
  // After the identity: changing it clears the parent-death signal.
  if (settings.deathSignal != 0) {
    if ((result = rawSyscall(SYS_prctl, PR_SET_PDEATHSIG, settings.deathSignal)) < 0)
      return fail(failure, Where::kDeathSignal, result);
    // The caller may have ended before the signal was asked for; then it
    // never comes, so deliver it now.
    if (rawSyscall(SYS_getppid) != parent) {
      rawSyscall(SYS_kill, rawSyscall(SYS_getpid), settings.deathSignal);
      return fail(failure, Where::kDeathSignal, -ESRCH);
    }
  }
  return true;
}

bool runSteps(const Step* steps, std::size_t count, SetupFailure& failure) noexcept {
  std::size_t unused = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int error = runStep(steps[i], 3, nullptr, unused);
    if (error != 0) {
      failure = {SetupFailure::Where::kStep, static_cast<std::uint32_t>(i), error};
      return false;
    }
  }
  return true;
}

int execProgram(const ChildPlan& plan) noexcept {
  const char* file = plan.argv[0];
  char* const* envp = plan.envp != nullptr ? plan.envp : environ;
  if (plan.searchList == nullptr) return errorOf(execve(file, plan.argv, envp));
  if (*file == '\0') return ENOENT;
  if (contains(file, '/')) {
    long result = execve(file, plan.argv, envp);
    if (result == -ENOEXEC) result = execUnderShell(plan, file, envp);
    return errorOf(result);
  }
  // execvp's search, but through the command's own PATH.
  const std::size_t fileLength = lengthOf(file);
  bool refused = false;
  char path[PATH_MAX];
  for (const char* dir = plan.searchList;; ++dir) {
    const char* end = dir;
    while (*end != '\0' && *end != ':') ++end;
    const auto dirLength = static_cast<std::size_t>(end - dir);
    if (dirLength + fileLength + 2 <= sizeof path) {
      const char* candidate = file;  // an empty entry stands for the working directory
      if (dirLength > 0) {
        for (std::size_t i = 0; i < dirLength; ++i) path[i] = dir[i];
        path[dirLength] = '/';
        for (std::size_t i = 0; i <= fileLength; ++i) path[dirLength + 1 + i] = file[i];
        candidate = path;
      }
      const int error = tryCandidate(plan, candidate, envp, refused);
      if (error != 0) return error;
    }
    if (*end == '\0') break;
    dir = end;
  }
  return refused ? EACCES : ENOENT;
}

void replayAndExec(const ChildPlan& plan, const sigset_t* callerMask, ChildHooks* hooks,
                   int progress, bool inCgroup, SetupFailure& failure) noexcept {
  prepareSignals(plan.clean, callerMask);
  if (plan.clean) closeCallerDescriptorsAtExec();
  Texts texts;
  prepareTexts(plan, texts);
  if (!applySettings(plan.settings, plan.parent, failure, progress, inCgroup)) return;
  if (!runPlanSteps(plan, texts, hooks, progress, failure)) return;
  if (hooks != nullptr && !hooks->beforeExec(failure)) return;
  noteProgress(progress, SetupFailure::Where::kExec, 0);
  const int error = execProgram(plan);
  failure = {SetupFailure::Where::kExec, 0, error};
}

}  // namespace quill::sys::detail
