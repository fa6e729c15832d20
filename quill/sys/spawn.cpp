// Starting a command's child.
//
// A full fork copies the caller's page tables, so its cost grows with the
// caller's memory. When every preparation of a command is one of the
// library's own descriptor preparations, what their InChild hooks would do
// is known in advance: the steps are laid out here in the caller, and the
// child is started with vfork semantics (it borrows the caller's memory
// until it execs), replays them with plain system calls and execs. Any other
// preparation (standard input from a string, one written by a user) may do
// anything in its hooks, so it keeps the full fork.
#include <quill/sys/detail/spawn.h>

#include <quill/sys/detail/child.h>
#include <quill/sys/detail/run.h>
#include <quill/sys/prepare.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <typeinfo>
#include <vector>

namespace quill::sys::detail {

namespace {

// One descriptor step of a child, taken from an InChild hook.
struct Step {
  enum Kind { kOpen, kMove, kDup, kClose } kind;
  int fd;            // kOpen, kMove, kDup: the descriptor set up; kClose: the one closed
  int source;        // kMove, kDup: the descriptor copied
  int openFlags;     // kOpen
  const char* path;  // kOpen: owned by the preparation, which outlives the start
};

// A union's own hooks only forward; a user's subclass of it may do more.
bool unionsArePlain(const TSharedPtr<TExec::TPrepare>& prep) {
  auto* both = dynamic_cast<TUnionPrep*>(prep.get());
  if (both == nullptr) return true;
  if (typeid(*both) != typeid(TUnionPrep)) return false;
  return unionsArePlain(both->first) && unionsArePlain(both->second);
}

// Lays out the InChild steps of `cmd`'s preparations in hook order. False
// when a preparation is not exactly one of the library's descriptor
// preparations (a subclass may override anything).
bool planSteps(const TExec& cmd, std::vector<Step>& steps) {
  if (!unionsArePlain(cmd.prep)) return false;
  bool known = true;
  forEachPrep(cmd.prep, [&](TExec::TPrepare* p) {
    const std::type_info& type = typeid(*p);
    if (type == typeid(TFromFile)) {
      steps.push_back({Step::kOpen, 0, -1, O_RDONLY, static_cast<TFromFile*>(p)->fileName.c_str()});
    } else if (type == typeid(TToFile)) {
      auto* file = static_cast<TToFile*>(p);
      steps.push_back({Step::kOpen, 1, -1, writeFlags(file->append), file->fileName.c_str()});
    } else if (type == typeid(TRedirectToFile)) {
      auto* file = static_cast<TRedirectToFile*>(p);
      steps.push_back(
          {Step::kOpen, file->fd, -1, writeFlags(file->append), file->fileName.c_str()});
    } else if (type == typeid(TRedirect)) {
      auto* copy = static_cast<TRedirect*>(p);
      steps.push_back(
          {copy->fd == copy->srcFd ? Step::kMove : Step::kDup, copy->fd, copy->srcFd, 0, nullptr});
    } else if (type == typeid(TReadOut)) {
      auto* capture = static_cast<TReadOut*>(p);
      steps.push_back({Step::kClose, capture->fds[0], -1, 0, nullptr});
      steps.push_back({Step::kMove, 1, capture->fds[1], 0, nullptr});
    } else if (type == typeid(TWriteToPipeline)) {
      const PipePair& pair = *static_cast<TWriteToPipeline*>(p)->pipe;
      steps.push_back({Step::kClose, pair.fds[0], -1, 0, nullptr});
      steps.push_back({Step::kMove, 1, pair.fds[1], 0, nullptr});
    } else if (type == typeid(TReadFromPipeline)) {
      const PipePair& pair = *static_cast<TReadFromPipeline*>(p)->pipe;
      steps.push_back({Step::kClose, pair.fds[1], -1, 0, nullptr});
      steps.push_back({Step::kMove, 0, pair.fds[0], 0, nullptr});
    } else {
      known = false;
    }
  });
  return known;
}

// What the caller hands to the child; it lives on the caller's stack, which
// stays put while the caller is suspended.
struct SharedStart {
  const Step* steps;
  std::size_t count;
  char* const* argv;
  bool searchPath;
  const sigset_t* callerMask;
};

// Runs in the child between clone and exec, on its own stack but in the
// caller's memory, with every signal blocked. It must not allocate, must
// not throw, must not change anything the caller owns, and leaves through
// exec or _exit only. The caller's handlers are reset first, so that no
// signal taken before exec runs a handler on the caller's data.
int startedChild(void* data) noexcept {
  const auto& start = *static_cast<const SharedStart*>(data);
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction action;
    if (sigaction(sig, nullptr, &action) != 0) continue;
    if (action.sa_handler == SIG_IGN || action.sa_handler == SIG_DFL) continue;
    action.sa_handler = SIG_DFL;
    action.sa_flags = 0;
    sigaction(sig, &action, nullptr);
  }
  sigprocmask(SIG_SETMASK, start.callerMask, nullptr);

  const char* program = start.argv[0];
  for (std::size_t i = 0; i < start.count; ++i) {
    const Step& step = start.steps[i];
    int failure = 0;
    switch (step.kind) {
      case Step::kOpen:
        failure = openOnto(step.path, step.openFlags, step.fd);
        if (failure != 0) {
          writeChildLine(program, step.path, ": open failed: ", errorText(failure));
          _exit(kSetupFailureCode);
        }
        continue;
      case Step::kMove: failure = moveFd(step.source, step.fd); break;
      case Step::kDup:
        if (dup2(step.source, step.fd) == -1) failure = errno;
        break;
      case Step::kClose: close(step.fd); break;
    }
    if (failure != 0) {
      writeChildLine(program, errorText(failure));
      _exit(kSetupFailureCode);
    }
  }
  if (start.searchPath) {
    execvp(program, start.argv);
  } else {
    execv(program, start.argv);
  }
  const int failure = errno;
  writeChildLine(program, errorText(failure));
  _exit(execFailureCode(failure));
}

// The child's stack: execvp may build a path and, for a script without
// interpreter line, a new argv on it.
constexpr std::size_t kChildStack = std::size_t{256} * 1024;

}  // namespace

pid_t startChild(const TExec& cmd, char* const argv[], ForkedChild child) {
  std::vector<Step> steps;
  if (planSteps(cmd, steps)) {
    void* stack = mmap(nullptr, kChildStack, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (stack != MAP_FAILED) {
      sigset_t all, callerMask;
      sigfillset(&all);
      pthread_sigmask(SIG_BLOCK, &all, &callerMask);
      const SharedStart start{steps.data(), steps.size(), argv,
                              (cmd.flags & TExec::SearchPath) != 0, &callerMask};
      // The caller is suspended until the child has exec'd or ended, so the
      // steps, argv and the stack stay valid for as long as it needs them.
      const pid_t pid = clone(startedChild, static_cast<char*>(stack) + kChildStack,
                              CLONE_VM | CLONE_VFORK | SIGCHLD, const_cast<SharedStart*>(&start));
      pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
      munmap(stack, kChildStack);
      // A sandbox may refuse this kind of clone; fork then decides whether
      // a child can be had at all, and sets errno when not.
      if (pid != -1) return pid;
    }
  }
  const pid_t pid = fork();
  if (pid == 0) child(cmd, argv);
  return pid;
}

}  // namespace quill::sys::detail
