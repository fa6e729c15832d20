#include <quill/sys/execute.h>

#include <quill/sys/detail/child.h>
#include <quill/sys/detail/job.h>

#include <cstring>
#include <string>
#include <utility>

namespace quill::sys {

namespace {

std::vector<const TExec*> commandsOf(const TExecList& list) {
  std::vector<const TExec*> commands;
  commands.reserve(list.size());
  for (const TExec& cmd : list) commands.push_back(&cmd);
  return commands;
}

// How `stage` ended, in words.
std::string endOf(const TStage& stage) {
  if (stage.setupError != 0) {
    return "could not " + stage.setupStep + ": " + detail::errorText(stage.setupError);
  }
  if (stage.pid == -1) return "not started";
  if (!stage.statusKnown) return "end not observed";
  if (stage.signal != 0) {
    const char* name = sigabbrev_np(stage.signal);
    return "killed by " +
           (name != nullptr ? "SIG" + std::string(name) : "signal " + std::to_string(stage.signal));
  }
  return "exit " + std::to_string(stage.exitCode);
}

}  // namespace

bool TOutcome::Ok() const {
  if (timedOut) return false;
  for (const TStage& stage : stages) {
    if (!stage.statusKnown || stage.exitCode != 0 || stage.setupError != 0) return false;
  }
  return true;
}

int TOutcome::ExitCode() const {
  return stages.empty() ? -1 : stages.back().exitCode;
}

std::string TOutcome::Describe() const {
  std::string line = timedOut ? "timed out: " : "";
  for (std::size_t i = 0; i < stages.size(); ++i) {
    if (i > 0) line += i - 1 < piped_.size() && piped_[i - 1] ? " | " : "; ";
    if (i < commands_.size()) line += commands_[i] + " ";
    line += "(" + endOf(stages[i]) + ")";
  }
  if (truncated) line += " [output truncated]";
  return line;
}

TJob::TJob(std::unique_ptr<detail::Job> job) noexcept : job_(std::move(job)) {}

TJob::TJob(TJob&& other) noexcept = default;

TJob& TJob::operator=(TJob&& other) noexcept {
  job_ = std::move(other.job_);
  return *this;
}

TJob::~TJob() = default;

TOutcome TJob::Wait() {
  if (!job_) throw std::logic_error("TJob::Wait: the job has no run");
  return job_->wait();
}

bool TJob::Done() {
  return !job_ || job_->done();
}

void TJob::Signal(int sig) {
  if (job_) job_->signal(sig);
}

std::vector<pid_t> TJob::Pids() const {
  return job_ ? job_->pids() : std::vector<pid_t>();
}

TOutcome Execute(const TExecList& list, const TRunOptions& options) {
  detail::Job job(commandsOf(list), options, true);
  return job.wait();
}

TOutcome Execute(const TExec& command, const TRunOptions& options) {
  // The command is not copied: copying touches counts that other threads
  // running the same command may touch too.
  detail::Job job({&command}, options, true);
  return job.wait();
}

TJob Start(const TExecList& list, const TRunOptions& options) {
  return TJob(std::make_unique<detail::Job>(commandsOf(list), options, false));
}

}  // namespace quill::sys
