#pragma once
// One child of a run of Execute or Start: its start, the observation of its
// end, its signals and its reaping; private to quill/sys.
//
// A stage's end is first observed without reaping it (WNOWAIT): the
// zombie keeps its pid, and so the id of the process group it leads, from
// being used again, so that the run's signals can never reach a process
// group that another program made with the same number. The run reaps its
// stages only after its last signal.

#include <quill/sys/detail/launch.h>
#include <quill/sys/detail/layout.h>
#include <quill/sys/detail/poller.h>
#include <quill/sys/outcome.h>

#include <memory>
#include <string>

namespace quill::sys::detail {

class Stage {
 public:
  /// A stage of `cmd`, laid out (refused as refuseUnusableWords says). Its
  /// descriptors are taken out of `poller` before they are closed.
  Stage(const TExec& cmd, Poller& poller)
      : cmd_(&cmd), layout_(std::make_unique<Layout>(cmd, true)), poller_(poller) {}

  /// Its layout, to which the run adds the steps before the start.
  Layout& layout() noexcept { return *layout_; }

  /// BeforeFork of the caller's preparations and of a capture (whose pipe it
  /// makes): before the run adds the steps.
  void beforeStart();
  /// Starts the child, then InParent of those preparations. Raises (after
  /// closing what the preparations made) when no child can be started.
  void start();

  /// Has the run's poller watch the child's end (tag kEnd, `index`) and,
  /// with `report`, its report pipe (kReport): a run that may keep a child
  /// that has exec'd for long lets go of its layout and stack as soon as
  /// the report pipe ends; one that is over soon reads the report when the
  /// child is reaped.
  void watch(std::uint32_t index, bool report);

  /// The child's pid (-1 before the start), and its descriptors for the
  /// run's loop: the pidfd (readable once it has ended; -1 where there is
  /// none) and the report pipe (-1 once read to its end).
  pid_t pid() const noexcept { return launched_.pid; }
  int pidfd() const noexcept { return launched_.pidfd; }
  int report() const noexcept { return launched_.report; }

  /// True from the start until its end has been observed.
  bool running() const noexcept { return running_; }

  /// Looks for the end of the child without reaping it (`block`: waits for
  /// it); true once it has ended.
  bool observeEnd(bool block) noexcept;

  /// Reads the report pipe; at its end (the child has exec'd or ended) a
  /// failed set-up is named in the result, and the layout and the stack are
  /// let go.
  void readReport();

  /// Sends `sig` to the child and, with `group`, to the process group it
  /// leads; nothing once it has been reaped.
  void signal(int sig, bool group) noexcept;

  /// Reaps the ended child (waits for it when it has not ended) and lets
  /// go of everything it held.
  void reap() noexcept;

  /// How it ended.
  const TStage& result() const noexcept { return result_; }

 private:
  void noteReport();

  const TExec* cmd_;  // until the start
  std::unique_ptr<Layout> layout_;
  Poller& poller_;
  Launched launched_;
  std::string report_;
  bool reportWatched_ = false;
  // The step a child that has not exec'd was about to take, in words: where
  // it blocked if a signal ends it.
  std::string unfinished_;
  bool running_ = false;
  bool reaped_ = false;
  TStage result_;
};

}  // namespace quill::sys::detail
