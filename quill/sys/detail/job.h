#pragma once
// One run of Execute or Start; private to quill/sys.
//
// Every bit of state of a run lives here, none in the commands: a run reads
// the commands while it starts them and keeps nothing of them but their
// texts, so many runs of one list may go on at once in many threads.

#include <quill/sys/detail/output.h>
#include <quill/sys/execute.h>

#include <sys/types.h>
#include <chrono>
#include <string>
#include <vector>

namespace quill::sys::detail {

class Job {
 public:
  using Clock = std::chrono::steady_clock;

  /// Starts every command of `commands` at once. The commands are only read
  /// during the call; with `borrowTexts` their standard-input texts are
  /// read while the run goes on, so they must outlive it. Raises (after
  /// ending and reaping whatever it started) when a command cannot be
  /// started at all.
  Job(const std::vector<const TExec*>& commands, const TRunOptions& options, bool borrowTexts);
  /// Ends (SIGKILL, per the kill scope) and reaps whatever still runs.
  ~Job();
  Job(const Job&) = delete;
  Job& operator=(const Job&) = delete;

  /// Runs the run to its end and returns its outcome; once.
  TOutcome wait();
  /// True once the run is over; never blocks.
  bool done();
  /// Sends `sig` to every command still running, per the kill scope.
  void signal(int sig);
  /// The commands' process ids, in list order.
  std::vector<pid_t> pids() const;

 private:
  struct Stage {
    pid_t pid = -1;
    int pidfd = -1;
    bool running = false;
    TStage result;
  };
  struct Feed {
    int fd = -1;
    std::string text;  // the text itself unless borrowed
    const char* data = nullptr;
    std::size_t size = 0;
    std::size_t written = 0;
    std::size_t stage = 0;
  };
  struct Started;

  void start(const std::vector<const TExec*>& commands);
  void startStage(const TExec& cmd, Started& prepared, std::size_t index);
  bool pump(Clock::time_point until);
  void handleTimers(Clock::time_point now);
  void reapStage(Stage& stage, bool block);
  void writeFeed(Feed& feed);
  void readStream(int& fd, OutputSink& sink);
  void send(int sig, bool endedGroupsToo) noexcept;
  void stopReading() noexcept;
  void endEverything() noexcept;
  bool running() const noexcept;

  TRunOptions options_;
  bool borrowTexts_;
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point killAt_ = Clock::time_point::max();
  Clock::time_point drainUntil_ = Clock::time_point::max();
  bool timedOut_ = false;
  bool killed_ = false;
  bool over_ = false;
  bool waited_ = false;
  std::vector<Stage> stages_;
  std::vector<std::string> commandLines_;
  std::vector<bool> piped_;
  int out_ = -1;
  int err_ = -1;
  OutputSink outSink_;
  OutputSink errSink_;
  std::vector<Feed> feeds_;
  std::vector<int> childEnds_;  // the children's ends of the run's pipes, until all have started
};

/// `word` as a POSIX shell reads it back: unquoted when it needs no quotes,
/// else in single quotes.
std::string shellQuote(const std::string& word);

}  // namespace quill::sys::detail
