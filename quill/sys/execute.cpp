#include <quill/sys/execute.h>

#include <quill/sys/detail/job.h>

#include <poll.h>
#include <algorithm>
#include <cerrno>
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

int TJob::Fd() const {
  return job_ ? job_->fd() : -1;
}

void TJob::Write(std::string_view bytes) {
  if (!job_) throw std::logic_error("TJob::Write: the job has no run");
  job_->write(bytes);
}

void TJob::CloseStdin() {
  if (job_) job_->closeStdin();
}

std::vector<pid_t> TJob::Pids() const {
  return job_ ? job_->pids() : std::vector<pid_t>();
}

TOutcome Execute(const TExecList& list, const TRunOptions& options) {
  detail::Job job(commandsOf(list), options, detail::Job::Owner::kExecute);
  return job.wait();
}

TOutcome Execute(const TExec& command, const TRunOptions& options) {
  // The command is not copied: copying touches counts that other threads
  // running the same command may touch too.
  detail::Job job({&command}, options, detail::Job::Owner::kExecute);
  return job.wait();
}

TJob Start(const TExecList& list, const TRunOptions& options) {
  return TJob(std::make_unique<detail::Job>(commandsOf(list), options, detail::Job::Owner::kJob));
}

std::size_t WaitAny(std::vector<TJob>& jobs, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const bool limited = timeout.count() >= 0;
  const Clock::time_point until = limited ? Clock::now() + timeout : Clock::time_point::max();
  std::vector<pollfd> fds;
  std::vector<std::size_t> owners;
  for (;;) {
    // A run that is over needs nothing more; the others are driven only
    // where their descriptor says there is something to do.
    fds.clear();
    owners.clear();
    for (std::size_t i = 0; i < jobs.size(); ++i) {
      const std::unique_ptr<detail::Job>& job = jobs[i].job_;
      if (!job || job->waited()) continue;
      if (job->over()) return i;
      fds.push_back({job->fd(), POLLIN, 0});
      owners.push_back(i);
    }
    if (fds.empty()) return jobs.size();
    int wait = -1;
    if (limited) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      wait = static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
    }
    const int ready = poll(fds.data(), fds.size(), wait);
    if (ready == -1 && errno != EINTR) throw TSysCallErr(errno);
    for (std::size_t k = 0; k < fds.size() && ready > 0; ++k) {
      if (fds[k].revents != 0 && jobs[owners[k]].Done()) return owners[k];
    }
    if (limited && Clock::now() >= until) return jobs.size();
  }
}

}  // namespace quill::sys
