#pragma once
/// @file
/// Who, where and with what a command's program runs: its child settings,
/// as data, and the operations that set them on a command or on every
/// command of a list.
///
/// The settings are gathered in the caller (the user database is read
/// there, never in the child) and applied in the child in one fixed order,
/// whatever the order they were added in: the cgroup first, as the child
/// starts; then umask, limits, new session or process group, supplementary
/// groups, group id, user id, then the directory (entered before the umask
/// when no identity is set, after the identity change otherwise, so that
/// the new user's own rights decide whether it can be reached), then no new
/// privileges and the capabilities dropped, then the parent-death signal;
/// then the descriptors are set up and the program is executed with the
/// command's environment. A later setting of one kind replaces an earlier one;
/// environment changes and limits apply in turn. A setting that fails ends
/// the child like any set-up failure (see exec.h and execute.h).

#include <quill/export.h>

#include <sys/resource.h>
#include <sys/types.h>
#include <string>
#include <vector>

namespace quill::sys {

/// The settings of one command, as data. Empty: the child runs as the
/// caller does.
struct QUILL_API TChildSettings {
  /// One change of the environment.
  struct TEnvChange {
    /// What the change does.
    enum class TKind { Set, Unset, Clear };
    /// Set `name` to `value`, remove `name`, or start from nothing.
    TKind kind;
    /// The variable (Set, Unset).
    std::string name;
    /// Its value (Set).
    std::string value;
  };
  /// A resource limit.
  struct TLimit {
    /// RLIMIT_...
    int resource;
    /// The soft limit.
    rlim_t soft;
    /// The hard limit.
    rlim_t hard;
  };

  /// Changes applied in turn to the caller's environment; none: the
  /// program inherits the caller's.
  std::vector<TEnvChange> environment;
  /// The directory the program runs in; "": the caller's.
  std::string directory;
  /// Whether `umask` is set.
  bool setUmask = false;
  /// The file creation mask.
  mode_t umask = 0;
  /// Limits set in turn.
  std::vector<TLimit> limits;
  /// Lead a new session (and so a new process group).
  bool newSession = false;
  /// Lead a new process group.
  bool newProcessGroup = false;
  /// Whether `uid`, `gid` and `groups` are set.
  bool setIdentity = false;
  /// The user id: real, effective and saved.
  uid_t uid = 0;
  /// The group id: real, effective and saved.
  gid_t gid = 0;
  /// The supplementary groups.
  std::vector<gid_t> groups;
  /// The signal the program gets when the thread that started it ends; 0:
  /// none.
  int deathSignal = 0;
  /// The cgroup v2 directory the child starts in; "": the caller's.
  std::string cgroup;
  /// Set-user-id bits and file capabilities no longer raise privileges.
  bool noNewPrivileges = false;
  /// Empty capability sets: bounding, ambient, inheritable, permitted and
  /// effective.
  bool withoutCapabilities = false;
};

/// The setting operations, shared by one command (TExec) and a list of
/// commands (TExecList, where each applies to every command, so every stage
/// of a pipeline gets it). Each returns a copy with the setting added and
/// leaves the operand unchanged.
template <typename Self>
class QUILL_API TSettable {
 public:
  /// A copy whose program gets `name` set to `value` in its environment
  /// (replacing an earlier value). Raises std::invalid_argument for an empty
  /// name, one that holds "=" or a zero byte, and a value with a zero byte.
  Self WithEnv(const std::string& name, const std::string& value) const;
  /// A copy whose program's environment lacks `name`; refuses the names
  /// WithEnv refuses.
  Self WithoutEnv(const std::string& name) const;
  /// A copy whose program starts from an empty environment; WithEnv calls
  /// made after this one add to it. With SearchPath the program is looked
  /// up in the command's own PATH when it sets one (else in /bin:/usr/bin).
  Self WithEmptyEnv() const;
  /// A copy that enters the directory `path` before the program runs (after
  /// the identity change with AsUser); files of redirections with a
  /// relative name are opened there. Refuses a path with a zero byte.
  Self InDirectory(const std::string& path) const;
  /// A copy whose program runs with the file creation mask `mask`.
  Self WithUmask(mode_t mask) const;
  /// A copy whose program runs as `user`: the user id, primary group and
  /// supplementary groups that the user database gives, looked up now, in
  /// the caller (once for a list). Raises std::runtime_error "AsUser: no
  /// such user: <user>" for an unknown user, the SystemError family when the
  /// lookup fails.
  Self AsUser(const std::string& user) const;
  /// A copy whose program runs with user id `uid`, group id `gid` and the
  /// supplementary `groups`; real, effective and saved ids all become
  /// exactly these, so the program cannot take the caller's identity back.
  /// Raises std::invalid_argument for (uid_t)-1, (gid_t)-1 or -1 in
  /// `groups`, which the system would read as "no change".
  Self AsUser(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) const;
  /// A copy whose program runs under the limit `resource` (RLIMIT_...) with
  /// the `soft` and `hard` values.
  Self WithLimit(int resource, rlim_t soft, rlim_t hard) const;
  /// A copy whose program leads a new session (setsid), and so a new
  /// process group, without a controlling terminal.
  Self InNewSession() const;
  /// A copy whose program leads a new process group (setpgid(0, 0)).
  Self InNewProcessGroup() const;
  /// A copy whose program gets signal `sig` when the thread that started it
  /// ends (also when that happened before the signal could be asked for).
  Self WithParentDeathSignal(int sig) const;
  /// A copy whose child starts inside the existing cgroup v2 directory
  /// `dir`, before it runs any code of its own (where the kernel cannot
  /// start it there, joining it is the first thing the child does). A
  /// directory that is missing, or that is no cgroup v2 directory
  /// (EMEDIUMTYPE), fails the command's set-up ("cgroup <dir>"). A run with
  /// TRunOptions::cgroup starts every command in its own leaf instead.
  /// Raises std::invalid_argument for an empty path or one with a zero byte.
  Self InCgroup(const std::string& dir) const;
  /// A copy whose program cannot gain privileges through set-user-id bits
  /// or file capabilities (no_new_privs), set after the identity change.
  /// Its failure fails the set-up ("prctl PR_SET_NO_NEW_PRIVS").
  Self WithNoNewPrivileges() const;
  /// A copy whose program runs with empty bounding, ambient, inheritable,
  /// permitted and effective capability sets, emptied after the identity
  /// change (root without AsUser keeps its user id, not its privileges).
  /// The bounding set can only be emptied by a caller that may do so (root,
  /// or a holder of CAP_SETPCAP); otherwise the set-up fails ("drop
  /// capabilities", EPERM).
  Self WithoutCapabilities() const;

 protected:
  /// Only TExec and TExecList are made of it.
  TSettable() = default;
  /// Not to be deleted as a TSettable.
  ~TSettable() = default;
  /// Copied with the command or list it belongs to.
  TSettable(const TSettable&) = default;
  /// Assigned with the command or list it belongs to.
  TSettable& operator=(const TSettable&) = default;
};

}  // namespace quill::sys
