#pragma once
// What a child does between its start and exec, as plain data, and the one
// interpreter that replays it; private to quill/sys.
//
// A plan is laid out in the caller, where allocating is fine, and replayed
// in the child, where it is not: a child started with the caller's memory
// shares it until it execs, and may run beside the caller. Everything that
// replays a plan makes raw system calls only (syscall.h), never allocates,
// never throws, writes nothing but its own stack and the room its plan
// gives it (shellArgv), and reports a failure as data. The identity is changed with raw system
// calls too: the C library's wrappers would make every thread of the caller change its credentials.

#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <cstddef>
#include <cstdint>

namespace quill::sys::detail {

/// One descriptor step of a child.
struct Step {
  /// What the step does.
  enum class Kind : std::uint8_t {
    kOpen,   // open `data` (a path) with `flags` onto `fd`
    kCopy,   // `fd` becomes a copy of `source` (the same number: kept open across exec)
    kMove,   // `source` moved onto `fd`: copied, then closed
    kClose,  // `fd` closed
    kText,   // `fd` reads the `size` bytes at `data`, then end of file
    kHook,   // the InChild hook of the caller's preparation number `source`
  };
  Kind kind;
  int fd;
  int source;
  int flags;
  const char* data;
  std::size_t size;
};

/// A resource limit for setrlimit.
struct Limit {
  int resource;
  rlim_t soft;
  rlim_t hard;
};

/// Where, as whom and within which limits a child runs; applied before the
/// descriptor steps, in the order of the members, except that with an
/// identity the directory is entered after it changes, so that the new
/// user's own rights decide whether it can be reached. Files are opened
/// with the new identity; the identity changes late, while the child may
/// still do what needs the caller's.
struct Settings {
  const char* cgroup = nullptr;  // the cgroup v2 directory the child starts in
  int cgroupFd = -1;             // that directory opened O_PATH in the caller, or -1
  const char* directory = nullptr;
  bool setUmask = false;
  mode_t umask = 0;
  const Limit* limits = nullptr;
  std::size_t limitCount = 0;
  bool newSession = false;
  bool newProcessGroup = false;
  bool setIdentity = false;
  uid_t uid = 0;
  gid_t gid = 0;
  const gid_t* groups = nullptr;
  std::size_t groupCount = 0;
  bool noNewPrivileges = false;
  bool withoutCapabilities = false;
  int deathSignal = 0;
};

/// Where a child's set-up stopped, and why: the one failure record of every
/// child, whichever way it was started.
struct SetupFailure {
  /// The part of the set-up that failed. As wide as the other members, so
  /// that the record has no padding: it is written whole into a pipe.
  enum class Where : std::uint32_t {
    kNone,
    kCgroup,
    kDirectory,
    kLimit,
    kSession,
    kProcessGroup,
    kGroups,
    kGid,
    kUid,
    kNoNewPrivileges,
    kCapabilities,
    kDeathSignal,
    kStep,
    kPreparation,  // a hook of a preparation of the caller's raised
    kExec,
  };
  Where where = Where::kNone;
  std::uint32_t index = 0;  // kLimit, kStep: which one
  int error = 0;
};
static_assert(sizeof(SetupFailure) == 12, "a failure record has no padding");

/// The caller's own preparations, whose hooks run in a fully forked child:
/// InChild for a kHook step and BeforeExec before exec answer false, with
/// `failure` filled, when the hook raised; nothing here throws.
class ChildHooks {
 public:
  virtual bool inChild(std::size_t preparation, SetupFailure& failure) noexcept = 0;
  virtual bool beforeExec(SetupFailure& failure) noexcept = 0;
  /// The text of the exception a hook raised, or null.
  virtual const char* message() const noexcept = 0;
  /// Whether exec failing with `error` is to be reported (OnExecError).
  virtual bool reportExecError(int error) noexcept = 0;

 protected:
  ~ChildHooks() = default;
};

/// Everything a child needs from its start to exec.
struct ChildPlan {
  Settings settings;
  const Step* steps = nullptr;
  std::size_t stepCount = 0;
  char* const* argv = nullptr;       // argv[0] is the program
  char* const* envp = nullptr;       // null: the caller's environment
  const char* searchList = nullptr;  // PATH to look argv[0] up in; null: argv[0] is a path
  char** shellArgv = nullptr;        // room for argc + 2 pointers, for a script without "#!"
  pid_t parent = 0;                  // the caller, for the parent-death signal
  bool clean = false;                // default signals, empty mask, no caller descriptor at exec
  int floor = 3;                     // above every descriptor the steps name
};

/// Sets the child's signal state. `clean`: every disposition default (the C
/// library's own signals 32 and 33 too) and an empty mask. Otherwise
/// handlers are reset to the default (they belong to the caller's code),
/// ignored signals stay ignored and the mask becomes `callerMask`.
void prepareSignals(bool clean, const sigset_t* callerMask) noexcept;

/// Marks every descriptor above 2 close-on-exec, so that only those the
/// steps set up survive exec.
void closeCallerDescriptorsAtExec() noexcept;

/// Applies `settings`; false, with `failure` filled, when one fails. With
/// `progress` (a descriptor, else -1), notes there where it goes before a
/// step that may block (noteProgress). `inCgroup`: the child was started in
/// the settings' cgroup, which it then need not join.
bool applySettings(const Settings& settings, pid_t parent, SetupFailure& failure, int progress = -1,
                   bool inCgroup = false) noexcept;

/// Writes into `progress` (when not -1) a record with no error naming the
/// step the child is about to take: where a child that is ended while it
/// blocks there (a named pipe nobody opens, a hung network file system) had
/// got to. Only steps that may block are noted.
void noteProgress(int progress, SetupFailure::Where where, std::uint32_t index) noexcept;

/// Replaces the process image with the plan's program. Returns only when
/// that failed, with the errno to report.
int execProgram(const ChildPlan& plan) noexcept;

/// The whole of a child's way from its start: signals, descriptors, texts,
/// settings, steps (with `hooks` for kHook steps; null when there are none),
/// exec, noting its progress into `progress` (-1: nowhere); `inCgroup` as
/// for applySettings. Returns only when something failed, as `failure`
/// tells.
void replayAndExec(const ChildPlan& plan, const sigset_t* callerMask, ChildHooks* hooks,
                   int progress, bool inCgroup, SetupFailure& failure) noexcept;

/// Runs the steps of one preparation in this process, as its InChild hook
/// does when a preparation of the caller's holds it; false, with `failure`
/// filled (its index counting from `steps`), when one fails.
bool runSteps(const Step* steps, std::size_t count, SetupFailure& failure) noexcept;

}  // namespace quill::sys::detail
