#include <quill/sys/detail/stage.h>

#include <quill/errors/errors.h>
#include <quill/sys/detail/failure.h>
#include <quill/sys/detail/fd.h>
#include <quill/sys/detail/wait.h>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

namespace quill::sys::detail {

namespace {

// The preparations whose hooks run in the caller around the start: the
// caller's own, and a capture, whose pipe its BeforeFork makes.
template <typename Hook>
void callerHooks(const std::vector<PrepItem>& items, const Hook& hook) {
  for (const PrepItem& item : items) {
    if (const auto* own = std::get_if<Hooked>(&item)) hook(*own->prep);
    if (const auto* capture = std::get_if<Capture>(&item)) hook(*capture->prep);
  }
}

void closeCaptures(const std::vector<PrepItem>& items) noexcept {
  for (const PrepItem& item : items) {
    if (const auto* capture = std::get_if<Capture>(&item)) {
      closeFd(capture->ends[0]);
      closeFd(capture->ends[1]);
    }
  }
}

// What the kernel counted for a reaped child: its own use and that of the
// children it waited for.
TUsage usageOf(const struct rusage& usage) noexcept {
  const auto time = [](const timeval& span) {
    return std::chrono::seconds(span.tv_sec) + std::chrono::microseconds(span.tv_usec);
  };
  TUsage result;
  result.known = true;
  result.userCpu = time(usage.ru_utime);
  result.systemCpu = time(usage.ru_stime);
  result.maxRss = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // counted in KiB
  return result;
}

}  // namespace

void Stage::beforeStart() {
  const TExec& cmd = *cmd_;
  try {
    callerHooks(layout_->items(), [&](TExec::TPrepare& prep) { prep.BeforeFork(cmd); });
  } catch (...) {
    closeCaptures(layout_->items());
    throw;
  }
}

void Stage::start() {
  const TExec& cmd = *cmd_;
  const std::vector<PrepItem>& items = layout_->items();
  CommandHooks hooks(cmd, items);
  LaunchRequest request;
  request.plan = &layout_->plan((cmd.flags & TExec::SearchPath) != 0, true, getpid());
  request.hooks = layout_->hooked() ? &hooks : nullptr;
  request.wantPidfd = true;
  request.wantReport = true;
  launched_ = launch(request);
  if (launched_.pid == -1) {
    closeCaptures(items);
    throw TSysCallErr(launched_.error);
  }
  running_ = true;
  result_.pid = launched_.pid;
  callerHooks(items, [&](TExec::TPrepare& prep) { prep.InParent(cmd); });
  cmd_ = nullptr;
}

void Stage::watch(std::uint32_t index, bool report) {
  if (launched_.pidfd != -1)
    poller_.watch(launched_.pidfd, false, {Poller::Tag::Kind::kEnd, index});
  if (report && launched_.report != -1) {
    poller_.watch(launched_.report, false, {Poller::Tag::Kind::kReport, index});
    reportWatched_ = true;
  }
}

bool Stage::observeEnd(bool block) noexcept {
  if (!running_) return true;
  siginfo_t info;
  const int options = WNOWAIT | (block ? 0 : WNOHANG);
  if (waitForChild(launched_.pidfd, launched_.pid, info, options) == 0) {
    if (info.si_pid == 0) return false;  // not ended yet
    const ExitStatus end = decodeStatus(info);
    result_.statusKnown = true;
    result_.exitCode = end.code;
    result_.signal = end.signal;
  } else {
    // Someone else reaped it (SIGCHLD ignored): its end is unknown, and its
    // pid may already be another process's.
    reaped_ = true;
  }
  running_ = false;
  // Readable for as long as the zombie is kept: nothing more to hear.
  poller_.forget(launched_.pidfd);
  return true;
}

void Stage::readReport() {
  if (launched_.report == -1) return;
  if (detail::readReport(launched_.report, report_)) noteReport();
}

// The child has exec'd or ended: what it reported is all there is, and it
// reads nothing of the run's any more.
void Stage::noteReport() {
  SetupFailure failure;
  std::string message;
  if (layout_ != nullptr) {
    const bool failed = parseReport(report_, failure, message);
    LineBuffer step;
    describeStep(layout_->laidOut(), failure, step);
    if (failed) {
      result_.setupError = failure.error;
      result_.setupStep = step.text();
      if (!message.empty()) result_.setupStep += ": " + message;
    } else if (failure.where != SetupFailure::Where::kNone &&
               failure.where != SetupFailure::Where::kExec) {
      unfinished_ = step.text();
    }
  }
  report_.clear();
  if (reportWatched_) poller_.forget(launched_.report);
  closeFd(launched_.report);
  launched_.stack.release();
  layout_.reset();
}

void Stage::signal(int sig, bool group) noexcept {
  if (launched_.pid <= 0 || reaped_) return;
  // The group's id is the leader's pid, which its zombie still holds.
  if (group) kill(-launched_.pid, sig);
  if (launched_.pidfd == -1 ||
      syscall(SYS_pidfd_send_signal, launched_.pidfd, sig, nullptr, 0) == -1)
    kill(launched_.pid, sig);
}

void Stage::reap() noexcept {
  if (launched_.pid > 0 && !reaped_) {
    observeEnd(true);
    siginfo_t info;
    struct rusage usage = {};
    if (!reaped_ && waitForChild(launched_.pidfd, launched_.pid, info, 0, &usage) == 0)
      result_.usage = usageOf(usage);
    reaped_ = true;
  }
  // The child has ended: whatever it reported is in the pipe, even when
  // another process of the caller's still holds the pipe's other end.
  if (launched_.report != -1) {
    try {
      detail::readReport(launched_.report, report_);
      noteReport();
    } catch (...) {
    }
  }
  // Ended by a signal where a step of its set-up blocked: that is how far
  // it got.
  if (result_.signal != 0 && result_.setupError == 0 && !unfinished_.empty()) {
    result_.setupStep = unfinished_;
    result_.setupError = EINTR;
  }
  if (reportWatched_) poller_.forget(launched_.report);
  closeFd(launched_.report);
  // The pidfd left the poller when the end was seen (observeEnd).
  closeFd(launched_.pidfd);
  launched_.stack.release();
  layout_.reset();
}

}  // namespace quill::sys::detail
