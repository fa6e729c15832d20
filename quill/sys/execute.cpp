#include <quill/sys/execute.h>

#include <quill/sys/detail/job.h>

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

}  // namespace

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
