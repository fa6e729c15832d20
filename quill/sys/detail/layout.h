#pragma once
// A command turned into what its child reads; private to quill/sys.
//
// Both runners lay a command out here: its words, environment and settings
// are copied into the layout and its preparations listed as items; the
// runner adds the descriptor steps, and plan() gives the ChildPlan that
// points into the layout. A child may read its layout until it has exec'd
// or ended, so nothing in it refers to the command.

#include <quill/files/detail/descriptor.h>
#include <quill/sys/detail/items.h>
#include <quill/sys/detail/plan.h>
#include <quill/sys/exec.h>

#include <deque>
#include <string>
#include <vector>

namespace quill::sys::detail {

/// Raises TEArgs::TEArgsError for an empty argument vector and
/// std::invalid_argument for a word that holds a zero byte: there is no
/// program to run, or the system would cut the word short. Called before
/// anything is started.
void refuseUnusableWords(const TEArgs& args);

class Layout {
 public:
  /// Lays `cmd` out; refuses it as refuseUnusableWords does. With
  /// `copyEnvironment` the caller's environment is copied too, for a child
  /// that may still read it while the caller goes on (and changes it).
  explicit Layout(const TExec& cmd, bool copyEnvironment = false);
  Layout(const Layout&) = delete;
  Layout& operator=(const Layout&) = delete;

  /// The command's preparations, in hook order.
  const std::vector<PrepItem>& items() const noexcept { return items_; }
  /// True when one of them is known by its hooks only.
  bool hooked() const noexcept;
  /// True when the command's output goes into a pipeline's pipe.
  bool feedsPipe() const noexcept;

  /// Appends a descriptor step; the path of an open step is copied.
  void addStep(const Step& step);
  /// The steps so far.
  std::size_t stepCount() const noexcept { return steps_.size(); }

  /// Starts the child in the cgroup `dir`, open as `fd` (kept open by the
  /// caller until the child has started), instead of the command's own.
  void placeInCgroup(const std::string& dir, int fd);

  /// The plan; valid while the layout lives and no step is added.
  /// `searchPath`: look the program up in PATH; `clean`: see ChildPlan.
  const ChildPlan& plan(bool searchPath, bool clean, pid_t parent);
  /// The plan as plan() last made it.
  const ChildPlan& laidOut() const noexcept { return plan_; }

 private:
  void layOutWords(const TEArgs& args);
  void layOutSettings(const TChildSettings& settings);
  void layOutEnvironment(const TChildSettings& settings, bool copy);

  std::vector<PrepItem> items_;
  std::vector<std::string> words_;
  std::vector<char*> argv_;
  std::vector<char*> shellArgv_;
  bool ownEnvironment_ = false;
  std::vector<std::string> environment_;
  std::vector<char*> envp_;
  std::string searchList_;
  std::string directory_;
  std::vector<Limit> limits_;
  std::vector<gid_t> groups_;
  std::string cgroup_;
  quill::detail::OwnedDescriptor ownCgroup_;
  std::deque<std::string> paths_;
  std::vector<Step> steps_;
  ChildPlan plan_;
};

/// The caller's preparations of `cmd` as a fully forked child runs them:
/// InChild of the item a kHook step names, BeforeExec of the whole, and
/// OnExecError to decide whether a failed exec is reported.
class CommandHooks : public ChildHooks {
 public:
  CommandHooks(const TExec& cmd, const std::vector<PrepItem>& items) : cmd_(cmd), items_(items) {}

  bool inChild(std::size_t preparation, SetupFailure& failure) noexcept override;
  bool beforeExec(SetupFailure& failure) noexcept override;
  const char* message() const noexcept override;
  bool reportExecError(int error) noexcept override;

 private:
  template <typename Hook>
  bool guarded(const Hook& hook, SetupFailure& failure) noexcept;

  const TExec& cmd_;
  const std::vector<PrepItem>& items_;
  std::string message_;
};

/// Closes the pipe ends that `items` (captures, pipeline ends) still hold
/// in the caller; for a start that failed.
void closePipesOf(const std::vector<PrepItem>& items) noexcept;

}  // namespace quill::sys::detail
