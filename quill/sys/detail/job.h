#pragma once
// One run of Execute or Start; private to quill/sys.
//
// Every bit of state of a run lives here, none in the commands: a run reads
// the commands while it lays them out and keeps nothing of them but their
// texts, so many runs of one list may go on at once in many threads. No
// thread of its own drives a run: it makes progress only inside done() and
// wait(), called by its owner, or a loop of the owner's that waits on fd().

#include <quill/sys/detail/cgroup.h>
#include <quill/sys/detail/fd.h>
#include <quill/sys/detail/poller.h>
#include <quill/sys/detail/stage.h>
#include <quill/sys/detail/streams.h>
#include <quill/sys/outcome.h>
#include <quill/sys/run_options.h>

#include <sys/types.h>
#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quill::sys::detail {

class Job {
 public:
  using Clock = std::chrono::steady_clock;

  /// Who owns the run: Execute, which drives it to its end before its
  /// commands can go (their texts are read where they are, and a command
  /// reading from the caller gets an empty input), or a TJob of Start.
  enum class Owner { kExecute, kJob };

  /// Starts every command of `commands` at once. The commands are only read
  /// during the call (and, for Execute, their texts while the run goes on).
  /// Raises std::invalid_argument for options that do not go together, and
  /// (after ending and reaping whatever it started) what keeps a command
  /// from being started at all.
  Job(const std::vector<const TExec*>& commands, const TRunOptions& options, Owner owner);
  /// Ends (SIGKILL, per the kill scope) and reaps whatever still runs.
  ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  /// Drives the run to its end and returns its outcome; once. Rethrows
  /// what a callback raised, after every child is reaped.
  TOutcome wait();
  /// Does what can be done now; true once the run is over (rethrows then
  /// what a callback raised). Never blocks.
  bool done();
  /// True once the run is over; nothing is done.
  bool over() const noexcept { return over_; }
  /// True once wait() has been called.
  bool waited() const noexcept { return waited_; }
  /// Queues bytes for the command that reads from the caller.
  void write(std::string_view bytes);
  /// Ends that input once the queue is written.
  void closeStdin();
  /// Sends `sig` to every command still running, per the kill scope.
  void signal(int sig);
  /// The commands' process ids, in list order.
  std::vector<pid_t> pids() const;
  /// Readable whenever done() can make progress.
  int fd() const noexcept { return poller_.fd(); }

 private:
  void layOut(const std::vector<const TExec*>& commands);
  void addSteps(std::size_t index);
  int feedText(const std::string& text, std::size_t index);
  int feedFromCaller(std::size_t index);
  const PipeEnds& pipelineOf(const int* ends);
  void start();
  bool pump(Clock::time_point until);
  void handle(Poller::Tag tag);
  void read(Streams::Which which);
  void callbackFailed();
  void handleTimers(Clock::time_point now);
  void stageEnded(std::size_t index);
  Clock::time_point nextWake() const noexcept;
  void send(int sig, bool endedGroupsToo) noexcept;
  void finish() noexcept;
  bool running() const noexcept;
  bool unwatched() const noexcept;

  TRunOptions options_;
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point killAt_ = Clock::time_point::max();
  Clock::time_point drainUntil_ = Clock::time_point::max();
  bool timedOut_ = false;
  bool killed_ = false;
  bool over_ = false;
  bool waited_ = false;
  Poller poller_;
  Streams streams_;
  std::unique_ptr<RunCgroup> cgroup_;  // the run's leaf, with TRunOptions::cgroup
  std::vector<std::unique_ptr<Stage>> stages_;
  std::vector<std::vector<std::string>> commandWords_;
  std::vector<bool> piped_;
  // Until every command has started: the children's ends of the run's
  // pipes, the first being the capture of the output.
  std::vector<int> childEnds_;
  std::map<const int*, PipeEnds> pipelines_;
  int floor_ = 3;
  int errorTarget_ = -1;
  Owner owner_;
  bool callerFed_ = false;      // the caller's input has its pipe
  std::exception_ptr failure_;  // what a callback raised
};

}  // namespace quill::sys::detail
