#include <quill/sys/detail/job.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/fd.h>
#include <quill/sys/detail/items.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <stdexcept>

namespace quill::sys::detail {

namespace {

using Clock = Job::Clock;

// `from` + `span`, saturated instead of overflowing: a span too long for the
// clock is no deadline at all; a negative one is a time already passed.
Clock::time_point later(Clock::time_point from, std::chrono::milliseconds span) {
  if (span.count() <= 0) return from;
  const auto room =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - from);
  if (span >= room) return Clock::time_point::max();
  return from + span;
}

Step copyStep(int target, int source) {
  return {Step::Kind::kCopy, target, source, 0, nullptr, 0};
}

// The lowest descriptor number that no command of the run sets up.
int floorOf(const std::vector<std::unique_ptr<Stage>>& stages) {
  int floor = 3;
  for (const auto& stage : stages) {
    for (const PrepItem& item : stage->layout().items()) {
      if (const auto* fixed = std::get_if<FixedStep>(&item))
        floor = std::max({floor, fixed->fd + 1, fixed->source + 1});
    }
  }
  return floor;
}

}  // namespace

namespace {

const TRunOptions& checked(const TRunOptions& options) {
  if (options.onOutput && options.onLine)
    throw std::invalid_argument("TRunOptions: onOutput and onLine together");
  if (options.killScope == TKillScope::Cgroup && options.cgroup.empty())
    throw std::invalid_argument("TRunOptions: TKillScope::Cgroup without a cgroup");
  return options;
}

}  // namespace

Job::Job(const std::vector<const TExec*>& commands, const TRunOptions& options, Owner owner)
    : options_(checked(options)),
      streams_(poller_, options.maxOutput, {options.onOutput, options.onLine, options.maxLine}),
      owner_(owner) {
  if (options_.killAfter.count() < 0) options_.killAfter = std::chrono::milliseconds(0);
  try {
    if (!options_.cgroup.empty())
      cgroup_ = std::make_unique<RunCgroup>(options_.cgroup, options_.limits, poller_);
    layOut(commands);
    start();
  } catch (...) {
    finish();
    throw;
  }
}

Job::~Job() {
  finish();
}

// Every command laid out, and the run's pipes made, before anything starts:
// the capture of the last command's output and of every command's standard
// error, then, per command, the pipes of its pipelines and its texts.
void Job::layOut(const std::vector<const TExec*>& commands) {
  // An unusable command is refused before anything is started.
  for (const TExec* cmd : commands) refuseUnusableWords(cmd->args);
  for (const TExec* cmd : commands) {
    stages_.push_back(std::make_unique<Stage>(*cmd, poller_));
    commandWords_.push_back(cmd->args.List());
    piped_.push_back(stages_.back()->layout().feedsPipe());
  }
  floor_ = floorOf(stages_);
  const PipeEnds out = makePipe(floor_);
  childEnds_.push_back(out.write);
  streams_.capture(Streams::kOut, out.read);
  errorTarget_ = -1;
  if (options_.captureStderr && options_.mergeStderr) {
    errorTarget_ = out.write;
  } else if (options_.captureStderr) {
    const PipeEnds err = makePipe(floor_);
    childEnds_.push_back(err.write);
    streams_.capture(Streams::kErr, err.read);
    errorTarget_ = err.write;
  }
}

// The steps of command `index`: the run's captures first (so that the
// command's own redirections win), then its preparations in their order.
void Job::addSteps(std::size_t index) {
  Layout& layout = stages_[index]->layout();
  if (index + 1 == stages_.size()) layout.addStep(copyStep(1, childEnds_.front()));
  if (errorTarget_ != -1) layout.addStep(copyStep(2, errorTarget_));
  const std::vector<PrepItem>& items = layout.items();
  for (std::size_t i = 0; i < items.size(); ++i) {
    std::visit(
        [&](const auto& item) {
          using T = std::decay_t<decltype(item)>;
          if constexpr (std::is_same_v<T, FixedStep>) {
            layout.addStep(stepOf(item));
          } else if constexpr (std::is_same_v<T, TextInput>) {
            layout.addStep(copyStep(0, feedText(*item.text, index)));
          } else if constexpr (std::is_same_v<T, CallerInput>) {
            layout.addStep(copyStep(0, feedFromCaller(index)));
          } else if constexpr (std::is_same_v<T, PipelineEnd>) {
            const PipeEnds& pipe = pipelineOf(item.ends);
            layout.addStep(item.writes ? copyStep(1, pipe.write) : copyStep(0, pipe.read));
          } else if constexpr (std::is_same_v<T, Capture>) {
            std::vector<Step> steps;
            appendClassicSteps(item, steps);  // its pipe is the preparation's own
            for (const Step& step : steps) layout.addStep(step);
          } else {
            static_assert(std::is_same_v<T, Hooked>);
            layout.addStep({Step::Kind::kHook, -1, static_cast<int>(i), 0, nullptr, 0});
          }
        },
        items[i]);
  }
}

// The read end of a new pipe through which the run feeds `text` to command
// `index`.
int Job::feedText(const std::string& text, std::size_t index) {
  const PipeEnds pipe = makePipe(floor_);
  childEnds_.push_back(pipe.read);
  const bool borrowed = owner_ == Owner::kExecute;
  streams_.feed(pipe.write, text.data(), text.size(), borrowed ? std::string() : text, index);
  return pipe.read;
}

// The read end of a new pipe through which command `index` reads what the
// caller writes. Only the first such command of a run of Start gets the
// caller's input; the others, and those of Execute, read an empty input.
int Job::feedFromCaller(std::size_t index) {
  const PipeEnds pipe = makePipe(floor_);
  childEnds_.push_back(pipe.read);
  if (owner_ == Owner::kJob && !callerFed_) {
    callerFed_ = true;
    streams_.feedFromCaller(pipe.write, index);
  } else {
    int unused = pipe.write;
    closeFd(unused);
  }
  return pipe.read;
}

// The pipe of a pipeline, known by the ends its preparations share.
const PipeEnds& Job::pipelineOf(const int* ends) {
  auto found = pipelines_.find(ends);
  if (found == pipelines_.end()) {
    const PipeEnds pipe = makePipe(floor_);
    childEnds_.push_back(pipe.read);
    childEnds_.push_back(pipe.write);
    found = pipelines_.emplace(ends, pipe).first;
  }
  return found->second;
}

// Starts every command. What the loop waits for, under its tag: each
// stage's pidfd (kEnd, readable once it has ended) and, for a job, its
// report pipe (kReport, at its end once the child has exec'd); the captured
// streams, the texts and the caller's input were registered as they were
// made (kOut, kErr, kFeed, kCallerInput); the timer (kTimer, made when first
// needed) stands for the deadlines, and a run's cgroup (kCgroup) for its
// emptying.
void Job::start() {
  // The deadline counts from the start of the first command.
  deadline_ = options_.timeout.count() < 0    ? Clock::now()
              : options_.timeout.count() == 0 ? Clock::time_point::max()
                                              : later(Clock::now(), options_.timeout);
  for (std::size_t i = 0; i < stages_.size(); ++i) {
    Stage& stage = *stages_[i];
    stage.beforeStart();
    addSteps(i);
    if (cgroup_) stage.layout().placeInCgroup(cgroup_->path(), cgroup_->fd());
    stage.start();
    const auto index = static_cast<std::uint32_t>(i);
    stage.watch(index, owner_ == Owner::kJob);
  }
  for (int& fd : childEnds_) closeFd(fd);
  childEnds_.clear();
  pipelines_.clear();
  poller_.armAt(nextWake());
}

bool Job::running() const noexcept {
  return std::any_of(stages_.begin(), stages_.end(), [](const auto& s) { return s->running(); });
}

// A running stage without a pidfd (the kernel has none, or refuses to wait
// on it): its end is looked for on a tick.
bool Job::unwatched() const noexcept {
  return std::any_of(stages_.begin(), stages_.end(),
                     [](const auto& s) { return s->running() && s->pidfd() == -1; });
}

void Job::send(int sig, bool endedGroupsToo) noexcept {
  const bool group = options_.killScope == TKillScope::ProcessGroup;
  // A command found in the leaf got it from there; one still joining it
  // (where the kernel could not start it inside) gets it here.
  std::vector<pid_t> reached;
  if (cgroup_ && options_.killScope == TKillScope::Cgroup) reached = cgroup_->signal(sig);
  for (const auto& stage : stages_) {
    if (std::find(reached.begin(), reached.end(), stage->pid()) != reached.end()) continue;
    // An ended leader's group may still hold what it started; its zombie
    // keeps the group's id from going to anybody else.
    if (stage->running() || (group && endedGroupsToo)) stage->signal(sig, group);
  }
}

void Job::signal(int sig) {
  if (!over_) send(sig, false);
}

std::vector<pid_t> Job::pids() const {
  std::vector<pid_t> result;
  for (const auto& stage : stages_) result.push_back(stage->pid());
  return result;
}

void Job::stageEnded(std::size_t index) {
  // Nobody is left to read a text the ended command did not take.
  streams_.endFeedsOf(index);
  if (!running() && drainUntil_ == Clock::time_point::max())
    drainUntil_ = killed_ ? Clock::now() : later(Clock::now(), options_.killAfter);
}

void Job::handle(Poller::Tag tag) {
  using Kind = Poller::Tag::Kind;
  switch (tag.kind) {
    case Kind::kOut: read(Streams::kOut); break;
    case Kind::kErr: read(Streams::kErr); break;
    case Kind::kFeed: streams_.write(tag.index); break;
    case Kind::kCallerInput: streams_.sendFromCaller(); break;
    case Kind::kEnd:
      if (stages_[tag.index]->running() && stages_[tag.index]->observeEnd(false))
        stageEnded(tag.index);
      break;
    case Kind::kReport: stages_[tag.index]->readReport(); break;
    case Kind::kTimer: break;  // the timers are looked at after every wait
    case Kind::kCgroup:
      cgroup_->takeChange();  // the leaf itself is looked at with the timers
      break;
  }
}

void Job::read(Streams::Which which) {
  try {
    streams_.read(which);
  } catch (...) {
    callbackFailed();
  }
}

// A callback raised: the run is ended as a deadline would end it, nothing
// more is read, and the exception is rethrown once every child is reaped.
void Job::callbackFailed() {
  if (!failure_) failure_ = std::current_exception();
  streams_.closeAll();
  if (!timedOut_) deadline_ = Clock::now();
}

void Job::handleTimers(Clock::time_point now) {
  if (over_) return;
  if (!timedOut_ && now >= deadline_) {
    timedOut_ = true;
    killAt_ = later(now, options_.killAfter);
    send(SIGTERM, true);
    send(SIGCONT, true);  // a stopped command could not act on TERM
  }
  if (timedOut_ && !killed_ && now >= killAt_) {
    killed_ = true;
    send(SIGKILL, true);
    if (!running()) drainUntil_ = now;
  }
  // With a cgroup, nothing the commands started outlives them: the run is
  // over once its leaf is empty.
  const bool leafEmpty = !cgroup_ || (!running() && cgroup_->endLeftovers(now));
  if (!running() && now >= drainUntil_) {
    try {
      streams_.drainAndClose();
    } catch (...) {
      callbackFailed();
    }
  }
  if (!running() && !streams_.reading() && leafEmpty) finish();
}

// The next moment a timer asks for something; a stage whose end no pidfd
// announces is looked for every 10 ms.
Clock::time_point Job::nextWake() const noexcept {
  Clock::time_point wake = timedOut_ ? (killed_ ? Clock::time_point::max() : killAt_) : deadline_;
  if (!running()) wake = std::min(wake, drainUntil_);
  if (!running() && cgroup_) wake = std::min(wake, cgroup_->killAgainAt());
  if (unwatched()) wake = std::min(wake, Clock::now() + std::chrono::milliseconds(10));
  return wake;
}

bool Job::pump(Clock::time_point until) {
  handleTimers(Clock::now());
  if (over_) return true;
  int timeout = -1;
  if (until != Clock::time_point::max()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
  }
  poller_.wait(timeout, [this](Poller::Tag tag) { handle(tag); });
  if (unwatched()) {
    for (std::size_t i = 0; i < stages_.size(); ++i) {
      Stage& stage = *stages_[i];
      if (stage.running() && stage.pidfd() == -1 && stage.observeEnd(false)) stageEnded(i);
    }
  }
  handleTimers(Clock::now());
  // Whoever waits on the run's descriptor is woken for the next timer.
  if (!over_) poller_.armAt(nextWake());
  return over_;
}

TOutcome Job::wait() {
  if (waited_) throw std::logic_error("TJob::Wait: the job has been waited for already");
  waited_ = true;
  while (!pump(Clock::time_point::max())) {
  }
  if (failure_) std::rethrow_exception(failure_);
  TOutcome outcome;
  outcome.out = streams_.take(Streams::kOut);
  outcome.err = streams_.take(Streams::kErr);
  outcome.truncated = streams_.truncated();
  outcome.timedOut = timedOut_;
  for (const auto& stage : stages_) outcome.stages.push_back(stage->result());
  if (cgroup_) outcome.usage = cgroup_->usage();
  outcome.commands_ = std::move(commandWords_);
  outcome.piped_ = piped_;
  return outcome;
}

bool Job::done() {
  const bool over = pump(Clock::now());
  if (over && failure_) std::rethrow_exception(failure_);
  return over;
}

void Job::write(std::string_view bytes) {
  if (over_) throw std::logic_error("TJob::Write: the job has ended");
  streams_.writeFromCaller(bytes);
}

void Job::closeStdin() {
  if (!over_) streams_.closeFromCaller();
}

// The run is over, or is given up: whatever still runs is killed, every
// stage is reaped after the last signal to its group, and every descriptor
// of the run is closed.
void Job::finish() noexcept {
  if (over_) return;
  for (int& fd : childEnds_) closeFd(fd);
  childEnds_.clear();
  if (running()) send(SIGKILL, true);
  if (cgroup_) cgroup_->kill();
  streams_.closeAll();
  for (const auto& stage : stages_) stage->reap();
  if (cgroup_) cgroup_->close();
  over_ = true;
}

}  // namespace quill::sys::detail
