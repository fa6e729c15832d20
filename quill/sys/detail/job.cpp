#include <quill/sys/detail/job.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/argv.h>
#include <quill/sys/detail/child.h>
#include <quill/sys/detail/describe.h>
#include <quill/sys/detail/plan.h>
#include <quill/sys/detail/settings.h>
#include <quill/sys/detail/start.h>
#include <quill/sys/detail/wait.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <map>
#include <memory>
#include <stdexcept>

namespace quill::sys::detail {

namespace {

using Clock = Job::Clock;

// A pipe the run makes, both ends close-on-exec. Its ends are moved above
// `floor`, the lowest number no child sets up, so that setting up one
// descriptor never overwrites a pipe end that a later step copies.
struct Pipe {
  int read = -1;
  int write = -1;
};

int keepAbove(int fd, int floor) {
  if (fd >= floor) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, floor);
  if (moved == -1) throw TSysCallErr(errno);
  close(fd);
  return moved;
}

Pipe makePipe(int floor) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) == -1) throw TSysCallErr(errno);
  Pipe pipe{fds[0], fds[1]};
  try {
    pipe.read = keepAbove(pipe.read, floor);
    pipe.write = keepAbove(pipe.write, floor);
  } catch (...) {
    closeFd(pipe.read);
    closeFd(pipe.write);
    throw;
  }
  return pipe;
}

Step copyStep(int target, int source) {
  return {Step::Kind::kCopy, target, source, 0, nullptr, 0};
}

// The errno an exception of a user's hook stands for.
int errorOf(const std::exception& error) {
  if (const auto* system = dynamic_cast<const SystemError*>(&error)) return system->errorNumber;
  if (const auto* call = dynamic_cast<const TSysCallErr*>(&error)) return call->errorNumber;
  return ECANCELED;
}

}  // namespace

// What one command needs from the caller until its child has started.
struct Job::Started {
  std::vector<PrepItem> items;
  std::vector<int> sources;  // per item: the run's descriptor it copies from, else -1
  ChildSettings settings;
  std::unique_ptr<ArgvArray> argv;
  std::vector<Step> steps;
  std::vector<std::pair<std::size_t, std::size_t>> ranges;  // per item: its steps
  std::size_t runSteps = 0;  // the run's captures, before the items' steps
  ChildPlan plan;
};

Job::Job(const std::vector<const TExec*>& commands, const TRunOptions& options, bool borrowTexts)
    : options_(options),
      borrowTexts_(borrowTexts),
      outSink_(options.maxOutput),
      errSink_(options.maxOutput) {
  try {
    start(commands);
  } catch (...) {
    endEverything();
    throw;
  }
}

Job::~Job() {
  endEverything();
}

void Job::start(const std::vector<const TExec*>& commands) {
  // An unusable command is refused before anything is started.
  for (const TExec* cmd : commands) refuseEmptyArgs(cmd->args);
  std::vector<std::unique_ptr<Started>> prepared;
  int floor = 3;
  for (const TExec* cmd : commands) {
    auto stage = std::make_unique<Started>();
    stage->items = describe(*cmd);
    bool piped = false;
    for (const PrepItem& item : stage->items) {
      if (item.kind == PrepItem::Kind::kSetting) stage->settings.add(*item.setting);
      if (item.kind == PrepItem::Kind::kPipeWrite) piped = true;
      if (item.kind == PrepItem::Kind::kStep || item.kind == PrepItem::Kind::kText)
        floor = std::max(floor, item.step.fd + 1);
    }
    std::string line;
    for (const std::string& word : cmd->args.List()) {
      if (!line.empty()) line += ' ';
      line += shellQuote(word);
    }
    commandLines_.push_back(line);
    piped_.push_back(piped);
    prepared.push_back(std::move(stage));
  }
  stages_.resize(commands.size());

  // The run's pipes: the capture of the last command's output and of every
  // command's standard error, the pipes of the pipelines, one per text.
  const Pipe out = makePipe(floor);
  out_ = out.read;
  childEnds_.push_back(out.write);
  int errorTarget = -1;
  if (options_.captureStderr && options_.mergeStderr) {
    errorTarget = out.write;
  } else if (options_.captureStderr) {
    const Pipe err = makePipe(floor);
    err_ = err.read;
    childEnds_.push_back(err.write);
    errorTarget = err.write;
  }
  std::map<const int*, Pipe> pipelines;
  for (std::size_t i = 0; i < prepared.size(); ++i) {
    Started& stage = *prepared[i];
    if (i + 1 == prepared.size()) stage.steps.push_back(copyStep(1, out.write));
    if (errorTarget != -1) stage.steps.push_back(copyStep(2, errorTarget));
    stage.runSteps = stage.steps.size();
    for (const PrepItem& item : stage.items) {
      int source = -1;
      if (item.kind == PrepItem::Kind::kText) {
        const Pipe text = makePipe(floor);
        childEnds_.push_back(text.read);
        Feed feed;
        feed.fd = text.write;
        feed.stage = i;
        if (borrowTexts_) {
          feed.data = item.step.data;
          feed.size = item.step.size;
        } else {
          feed.text.assign(item.step.data, item.step.size);
        }
        feeds_.push_back(std::move(feed));
        fcntl(text.write, F_SETFL, O_NONBLOCK);  // the child's end stays blocking
        source = text.read;
      } else if (item.kind == PrepItem::Kind::kPipeWrite ||
                 item.kind == PrepItem::Kind::kPipeRead) {
        auto found = pipelines.find(item.ends);
        if (found == pipelines.end()) {
          const Pipe pipe = makePipe(floor);
          childEnds_.push_back(pipe.read);
          childEnds_.push_back(pipe.write);
          found = pipelines.emplace(item.ends, pipe).first;
        }
        source = item.kind == PrepItem::Kind::kPipeWrite ? found->second.write : found->second.read;
      }
      stage.sources.push_back(source);
    }
  }
  for (Feed& feed : feeds_) {
    if (!borrowTexts_) {
      feed.data = feed.text.data();
      feed.size = feed.text.size();
    }
  }

  // The deadline counts from the start of the first command.
  if (options_.timeout.count() > 0) deadline_ = Clock::now() + options_.timeout;
  for (std::size_t i = 0; i < prepared.size(); ++i) startStage(*commands[i], *prepared[i], i);
  for (int& fd : childEnds_) closeFd(fd);
  childEnds_.clear();
  for (Feed& feed : feeds_) {
    if (feed.size == 0) closeFd(feed.fd);
  }
}

namespace {

// The child of a command with a preparation of the user's: a full copy of
// the caller, in which the hooks may allocate and raise. It replays the
// library's steps and calls the user's hooks in the order they were added;
// what failed goes back through `report`, which exec closes.
[[noreturn]] void runHookedChild(const TExec& cmd, const std::vector<PrepItem>& items,
                                 const std::vector<std::pair<std::size_t, std::size_t>>& ranges,
                                 std::size_t captureSteps, const ChildPlan& plan,
                                 int report) noexcept {
  SetupFailure failure;
  std::string message;
  prepareSignals(true, nullptr);
  closeCallerDescriptorsAtExec();
  if (applySettings(plan.settings, plan.parent, failure) &&
      runSteps(plan.steps, captureSteps, failure)) {
    try {
      bool ready = true;
      for (std::size_t i = 0; i < items.size() && ready; ++i) {
        if (items[i].kind == PrepItem::Kind::kForeign) {
          items[i].prep->InChild(cmd);
          continue;
        }
        const auto [begin, end] = ranges[i];
        ready = runSteps(plan.steps + begin, end - begin, failure);
        if (!ready) failure.index += static_cast<std::uint32_t>(begin);
      }
      if (ready) {
        if (cmd.prep) cmd.prep->BeforeExec(cmd);
        failure.error = execProgram(plan);
        failure.where = SetupFailure::Where::kExec;
      }
    } catch (const std::exception& error) {
      failure.where = SetupFailure::Where::kPreparation;
      failure.error = errorOf(error);
      message = error.what();
    } catch (...) {
      failure.where = SetupFailure::Where::kPreparation;
      failure.error = ECANCELED;
    }
  }
  writeAll(report, reinterpret_cast<const char*>(&failure), sizeof failure);
  writeAll(report, message.data(), message.size());
  _exit(failureExitCode(failure));
}

}  // namespace

void Job::startStage(const TExec& cmd, Started& stage, std::size_t index) {
  auto closeCaptures = [&stage] {
    for (const PrepItem& item : stage.items) {
      if (item.kind == PrepItem::Kind::kCapture) {
        closeFd(item.ends[0]);
        closeFd(item.ends[1]);
      }
    }
  };
  try {
    for (const PrepItem& item : stage.items) {
      if (item.kind == PrepItem::Kind::kForeign || item.kind == PrepItem::Kind::kCapture)
        item.prep->BeforeFork(cmd);
    }
  } catch (...) {
    closeCaptures();
    throw;
  }
  // The steps of each preparation in its place; a capture's pipe lives in
  // the preparation and exists now that its BeforeFork has run.
  for (std::size_t i = 0; i < stage.items.size(); ++i) {
    const PrepItem& item = stage.items[i];
    const std::size_t begin = stage.steps.size();
    switch (item.kind) {
      case PrepItem::Kind::kStep: stage.steps.push_back(item.step); break;
      case PrepItem::Kind::kText: stage.steps.push_back(copyStep(0, stage.sources[i])); break;
      case PrepItem::Kind::kPipeWrite: stage.steps.push_back(copyStep(1, stage.sources[i])); break;
      case PrepItem::Kind::kPipeRead: stage.steps.push_back(copyStep(0, stage.sources[i])); break;
      case PrepItem::Kind::kCapture: appendValueSteps(item, stage.steps); break;
      case PrepItem::Kind::kSetting:
      case PrepItem::Kind::kForeign: break;
    }
    stage.ranges.emplace_back(begin, stage.steps.size());
  }

  stage.argv = std::make_unique<ArgvArray>(cmd.args);
  ChildPlan& plan = stage.plan;
  plan.settings = stage.settings.settings();
  if (options_.killScope == TKillScope::ProcessGroup && !plan.settings.newSession)
    plan.settings.newProcessGroup = true;
  plan.steps = stage.steps.data();
  plan.stepCount = stage.steps.size();
  plan.argv = stage.argv->get();
  plan.envp = stage.settings.environment();
  plan.searchList = (cmd.flags & TExec::SearchPath) != 0 ? stage.settings.searchList() : nullptr;
  plan.shellArgv = stage.argv->shellRoom();
  plan.parent = getpid();
  plan.clean = true;

  Stage& run = stages_[index];
  SetupFailure failure;
  std::string message;
  const bool foreign = hasForeign(stage.items);
  if (!foreign) {
    run.pid = startChild(plan, false, &failure, &run.pidfd);
  } else {
    int report[2];
    if (pipe2(report, O_CLOEXEC) == -1) throw TSysCallErr(errno);
    sigset_t all, callerMask;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &callerMask);
    run.pid = fork();
    if (run.pid == 0) {
      close(report[0]);
      runHookedChild(cmd, stage.items, stage.ranges, stage.runSteps, plan, report[1]);
    }
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &callerMask, nullptr);
    close(report[1]);
    if (run.pid != -1) {
      run.pidfd = openPidfd(run.pid);
      char buffer[512];
      std::string reported;
      ssize_t got;
      while ((got = read(report[0], buffer, sizeof buffer)) != 0) {
        if (got > 0) reported.append(buffer, static_cast<std::size_t>(got));
        if (got == -1 && errno != EINTR) break;
      }
      if (reported.size() >= sizeof failure) {
        std::copy(reported.begin(), reported.begin() + sizeof failure,
                  reinterpret_cast<char*>(&failure));
        message = reported.substr(sizeof failure);
      }
    }
    close(report[0]);
    errno = error;
  }
  if (run.pid == -1) {
    const int error = errno;
    closeCaptures();
    throw TSysCallErr(error);
  }
  run.running = true;
  run.result.pid = run.pid;
  if (failure.where != SetupFailure::Where::kNone) {
    run.result.setupError = failure.error;
    LineBuffer step;
    describeStep(plan, failure, step);
    run.result.setupStep = step.text();
    if (!message.empty()) run.result.setupStep += ": " + message;
  }
  for (const PrepItem& item : stage.items) {
    if (item.kind == PrepItem::Kind::kForeign || item.kind == PrepItem::Kind::kCapture)
      item.prep->InParent(cmd);
  }
}

bool Job::running() const noexcept {
  return std::any_of(stages_.begin(), stages_.end(), [](const Stage& s) { return s.running; });
}

void Job::send(int sig, bool endedGroupsToo) noexcept {
  for (Stage& stage : stages_) {
    if (stage.pid <= 0) continue;
    if (options_.killScope == TKillScope::ProcessGroup) {
      // The group outlives its leader while a grandchild is in it.
      if (stage.running || endedGroupsToo) kill(-stage.pid, sig);
    } else if (stage.running) {
      if (stage.pidfd == -1 || syscall(SYS_pidfd_send_signal, stage.pidfd, sig, nullptr, 0) == -1)
        kill(stage.pid, sig);
    }
  }
}

void Job::signal(int sig) {
  send(sig, false);
}

std::vector<pid_t> Job::pids() const {
  std::vector<pid_t> result;
  for (const Stage& stage : stages_) result.push_back(stage.pid);
  return result;
}

void Job::stopReading() noexcept {
  closeFd(out_);
  closeFd(err_);
  for (Feed& feed : feeds_) closeFd(feed.fd);
}

void Job::reapStage(Stage& stage, bool block) {
  if (!stage.running) return;
  if (stage.pidfd != -1) {
    siginfo_t info;
    if (waitForPidfd(stage.pidfd, info, block ? 0 : WNOHANG) == 0) {
      if (info.si_pid == 0) return;  // not ended yet
      const ExitStatus end = decodeStatus(info);
      stage.result.statusKnown = true;
      stage.result.exitCode = end.code;
      stage.result.signal = end.signal;
    }
    // Otherwise someone else reaped it (SIGCHLD ignored): its end is unknown.
    closeFd(stage.pidfd);
  } else {
    int status = 0;
    const pid_t result = waitFor(stage.pid, &status, block ? 0 : WNOHANG);
    if (result == 0) return;
    if (result == stage.pid) {
      const ExitStatus end = decodeStatus(status);
      stage.result.statusKnown = true;
      stage.result.exitCode = end.code;
      stage.result.signal = end.signal;
    }
  }
  stage.running = false;
  if (!running() && drainUntil_ == Clock::time_point::max())
    drainUntil_ = Clock::now() + options_.killAfter;
  // Nobody is left to read a text the ended command did not take.
  for (Feed& feed : feeds_) {
    if (&stages_[feed.stage] == &stage) closeFd(feed.fd);
  }
}

void Job::writeFeed(Feed& feed) {
  // A reader that has gone must not end the caller with SIGPIPE: the signal
  // is blocked around the write and a SIGPIPE it raised is taken back.
  sigset_t pipeSignal, previous, pending;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  const ssize_t written = write(feed.fd, feed.data + feed.written, feed.size - feed.written);
  const int error = errno;
  if (written == -1 && error == EPIPE && !alreadyPending) {
    const timespec now = {0, 0};
    sigtimedwait(&pipeSignal, nullptr, &now);
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (written > 0) feed.written += static_cast<std::size_t>(written);
  if (feed.written == feed.size || (written == -1 && error != EAGAIN && error != EINTR))
    closeFd(feed.fd);
}

void Job::readStream(int& fd, OutputSink& sink) {
  const ssize_t got = sink.readFrom(fd);
  if (got == 0 || (got == -1 && errno != EAGAIN && errno != EINTR)) closeFd(fd);
}

void Job::handleTimers(Clock::time_point now) {
  if (now >= deadline_ && !timedOut_ && !over_) {
    timedOut_ = true;
    killAt_ = now + options_.killAfter;
    send(SIGTERM, true);
    send(SIGCONT, true);  // a stopped command could not act on TERM
  }
  if (now >= killAt_ && !killed_) {
    killed_ = true;
    send(SIGKILL, true);
    stopReading();
  }
  if (now >= drainUntil_) stopReading();
}

bool Job::pump(Clock::time_point until) {
  if (over_) return true;
  handleTimers(Clock::now());

  std::vector<pollfd> fds;
  if (out_ != -1) fds.push_back({out_, POLLIN, 0});
  if (err_ != -1) fds.push_back({err_, POLLIN, 0});
  const std::size_t streams = fds.size();
  for (Feed& feed : feeds_) {
    if (feed.fd != -1) fds.push_back({feed.fd, POLLOUT, 0});
  }
  const std::size_t feeds = fds.size();
  bool unwatched = false;  // a command without pidfd: its end is polled for
  for (Stage& stage : stages_) {
    if (!stage.running) continue;
    if (stage.pidfd != -1) {
      fds.push_back({stage.pidfd, POLLIN, 0});
    } else {
      unwatched = true;
    }
  }
  if (fds.empty() && !unwatched) {
    over_ = true;
    return true;
  }

  const Clock::time_point now = Clock::now();
  // The timers that are still to come (handleTimers has dealt with those
  // that have passed).
  Clock::time_point wake = std::min(until, timedOut_ ? (killed_ ? until : killAt_) : deadline_);
  if (streams > 0 || feeds > streams) wake = std::min(wake, drainUntil_);
  int timeout = -1;
  if (wake != Clock::time_point::max()) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count();
    timeout = left <= 0 ? 0 : static_cast<int>(std::min<long long>((left + 999) / 1000, 1 << 30));
  }
  if (unwatched && (timeout == -1 || timeout > 10)) timeout = 10;
  const int ready = poll(fds.data(), fds.size(), timeout);
  if (ready == -1 && errno != EINTR) throw TSysCallErr(errno);

  for (std::size_t i = 0; i < fds.size() && ready > 0; ++i) {
    if (fds[i].revents == 0) continue;
    if (i < streams) {
      if (fds[i].fd == out_) {
        readStream(out_, outSink_);
      } else if (fds[i].fd == err_) {
        readStream(err_, errSink_);
      }
    } else if (i < feeds) {
      for (Feed& feed : feeds_) {
        if (feed.fd == fds[i].fd) writeFeed(feed);
      }
    } else {
      for (Stage& stage : stages_) {
        if (stage.running && stage.pidfd == fds[i].fd) reapStage(stage, false);
      }
    }
  }
  if (unwatched) {
    for (Stage& stage : stages_) {
      if (stage.pidfd == -1) reapStage(stage, false);
    }
  }
  handleTimers(Clock::now());
  if (!running() && out_ == -1 && err_ == -1) {
    stopReading();
    over_ = true;
  }
  return over_;
}

TOutcome Job::wait() {
  if (waited_) throw std::logic_error("TJob::Wait: the job has been waited for already");
  waited_ = true;
  while (!pump(Clock::time_point::max())) {
  }
  TOutcome outcome;
  outcome.out = outSink_.take();
  outcome.err = errSink_.take();
  outcome.truncated = outSink_.truncated() || errSink_.truncated();
  outcome.timedOut = timedOut_;
  for (const Stage& stage : stages_) outcome.stages.push_back(stage.result);
  outcome.commands_ = commandLines_;
  outcome.piped_ = piped_;
  return outcome;
}

bool Job::done() {
  return pump(Clock::now());
}

void Job::endEverything() noexcept {
  for (int& fd : childEnds_) closeFd(fd);
  childEnds_.clear();
  if (!over_) {
    send(SIGKILL, true);
    stopReading();
    for (Stage& stage : stages_) {
      try {
        reapStage(stage, true);
      } catch (...) {
      }
    }
    over_ = true;
  }
  stopReading();
  for (Stage& stage : stages_) closeFd(stage.pidfd);
}

std::string shellQuote(const std::string& word) {
  const bool plain = !word.empty() && word.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_@%+=:,./-") == std::string::npos;
  if (plain) return word;
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace quill::sys::detail
