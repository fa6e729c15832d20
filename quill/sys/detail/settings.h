#pragma once
// Who, where and with what a child runs, as preparations of a command;
// private to quill/sys.
//
// A setting rides on a command like any preparation (so that copies share
// it and lists apply it per command), but its hooks do nothing: every runner
// gathers a command's settings in the caller and applies them in the child
// in their fixed order (plan.h, Settings), before the descriptor steps.

#include <quill/sys/detail/plan.h>
#include <quill/sys/exec.h>

#include <sys/types.h>
#include <string>
#include <vector>

namespace quill::sys::detail {

/// One setting of a command.
class SettingPrep : public TExec::TPrepare {
 public:
  /// What the setting changes.
  enum class Kind {
    kSetEnv,
    kUnsetEnv,
    kEmptyEnv,
    kDirectory,
    kUmask,
    kIdentity,
    kLimit,
    kSession,
    kProcessGroup,
    kDeathSignal,
  };
  explicit SettingPrep(Kind kind) : kind(kind) {}
  ~SettingPrep() override;

  Kind kind;
  std::string name;   // kSetEnv, kUnsetEnv: the variable; kDirectory: the path
  std::string value;  // kSetEnv
  mode_t mask = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  Limit limit = {0, 0, 0};
  int signal = 0;
};

/// The user id, primary group and supplementary groups of `user` from the
/// user database. Raises std::runtime_error "AsUser: no such user: <user>"
/// when there is none, the SystemError family when the lookup fails.
SettingPrep lookUpUser(const std::string& user);

/// The settings of one command, gathered in the caller in the order they
/// were added (a later one of a kind wins; environment changes and limits
/// apply in turn). Owns what the Settings and the environment point to.
class ChildSettings {
 public:
  ChildSettings() = default;
  ChildSettings(const ChildSettings&) = delete;
  ChildSettings& operator=(const ChildSettings&) = delete;

  /// Takes `setting` after those added before it.
  void add(const SettingPrep& setting);

  /// The settings for the child's plan, valid while this object lives.
  Settings settings() const noexcept;

  /// The child's environment, or null when it is the caller's.
  char* const* environment();

  /// The PATH a program name is looked up in: the command's own when it
  /// changes the environment (the default "/bin:/usr/bin" when that has
  /// none), else the caller's.
  const char* searchList();

 private:
  Settings settings_;
  std::string directory_;
  std::vector<Limit> limits_;
  std::vector<gid_t> groups_;
  std::vector<const SettingPrep*> environmentChanges_;  // owned by the command
  bool environmentBuilt_ = false;
  std::vector<std::string> environment_;
  std::vector<char*> environmentPointers_;
  std::string searchList_;
};

}  // namespace quill::sys::detail
