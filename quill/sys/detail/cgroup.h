#pragma once
// A run's own cgroup;
// private to quill/sys. Caller side.
//
// A run with TRunOptions::cgroup makes a fresh leaf under that directory,
// with its limits, before anything starts; every command starts inside it,
// so that whatever they start (a daemon that left their session and closed
// every descriptor included) is in it too, can be reached by a signal, is
// ended with the run, and is counted in the run's usage. The leaf is removed
// once it is empty, after its usage is read.

#include <quill/files/detail/descriptor.h>
#include <quill/sys/detail/poller.h>
#include <quill/sys/outcome.h>
#include <quill/sys/run_options.h>

#include <chrono>
#include <string>
#include <vector>

namespace quill::sys::detail {

class RunCgroup {
 public:
  using Clock = std::chrono::steady_clock;

  /// Makes the leaf under `parent`: enables in the parent the controllers
  /// that `limits` need and writes the limits into the leaf. While the run
  /// waits for the leaf to empty, `poller` watches it (tag kCgroup). Raises
  /// std::runtime_error naming the parent when it is not a cgroup v2
  /// directory or a controller is not available there, and the SystemError
  /// family when the leaf cannot be made or limited (nothing is left then).
  RunCgroup(const std::string& parent, const TCgroupLimits& limits, Poller& poller);
  /// Ends what is still in the leaf and removes it (close()).
  ~RunCgroup();
  RunCgroup(const RunCgroup&) = delete;
  RunCgroup& operator=(const RunCgroup&) = delete;

  /// The leaf's path, and the leaf open for starting a child inside it.
  const std::string& path() const noexcept { return path_; }
  int fd() const noexcept { return leaf_.get(); }

  /// True while a process is in the leaf, read now.
  bool populated() const noexcept;
  /// Takes the change the poller announced away (cgroup.events is read).
  void takeChange() const noexcept { populated(); }
  /// Sends `sig` to every process in the leaf and returns those it was sent
  /// to. SIGKILL ends all of them at once (kill()) and returns none; any
  /// other signal is sent to each process listed, and a process forked
  /// meanwhile may miss it.
  std::vector<pid_t> signal(int sig) noexcept;
  /// Ends every process in the leaf, also those being forked meanwhile.
  void kill() noexcept;
  /// Once the run's commands have ended: ends whatever is left in the leaf,
  /// again each time killAgainAt() has passed while something still is,
  /// and has the poller announce when the leaf becomes empty; true once it
  /// is.
  bool endLeftovers(Clock::time_point now) noexcept;
  /// When endLeftovers would end what is left again; max when it has ended
  /// nothing yet, or found the leaf empty.
  Clock::time_point killAgainAt() const noexcept;
  /// Waits until the leaf is empty (ending what is left), reads what the
  /// run used and removes the leaf; once.
  void close() noexcept;
  /// What the run used, read by close().
  const TRunUsage& usage() const noexcept { return usage_; }

 private:
  void makeLeaf(int parent, const std::string& parentPath);
  void limit(const TCgroupLimits& limits);
  void readUsage() noexcept;

  Poller& poller_;
  bool watched_ = false;  // by the poller
  quill::detail::OwnedDescriptor parent_;
  std::string name_;
  std::string path_;
  quill::detail::OwnedDescriptor leaf_;
  quill::detail::OwnedDescriptor events_;
  Clock::time_point killedAt_ = Clock::time_point::min();
  bool killed_ = false;
  bool emptied_ = false;  // found empty once the commands had ended: it stays so
  bool closed_ = false;
  TRunUsage usage_;
};

/// Ends every process in the cgroup open as `leaf` without cgroup.kill
/// (kernels before 5.14): the cgroup is frozen, so that nothing in it forks
/// any more, and each process listed gets SIGKILL, which a frozen process
/// dies of all the same. The cgroup stays frozen; call it again while it is
/// populated.
void freezeAndKill(int leaf) noexcept;

}  // namespace quill::sys::detail
