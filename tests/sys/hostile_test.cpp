// What a root daemon's runner must survive from hostile site users and
// hostile callers: reused pids, ids that mean "no change", a set-up that
// blocks, closed standard descriptors, durations at their limits, waits
// the kernel refuses, file size limits, words that would be cut short or
// break a log line, signals the C library hides.
#include <quill/sys/execute.h>

#include "tests/support/in_child.h"
#include "tests/support/proc_count.h"
#include "tests/support/syscall_filter.h"
#include "tests/sys/sys_test_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace quill::sys {
namespace {

using quill::test::inChild;
using std::chrono::milliseconds;
using test::command;
using test::deadline;
using test::failureOf;
using test::ScratchDir;
using test::sh;
using ::testing::AnyOf;

// Run as the first process of a pid namespace of its own: a job's first
// stage ends, the next pid to be handed out is made the one it had, and an
// unrelated program that leads a process group starts; then the job's
// deadline signals the stages' groups.
std::string signalsAfterPidReuse() {
  TJob job = Start(Sequence(sh("exit 0"), command({"sleep", "30"})), deadline(300, 100));
  const pid_t ended = job.Pids().at(0);
  // Until the first stage has ended, and the job has seen it.
  for (siginfo_t info = {}; info.si_pid == 0;) {
    pollfd ready = {job.Fd(), POLLIN, 0};
    poll(&ready, 1, -1);
    job.Done();
    if (waitid(P_PID, static_cast<id_t>(ended), &info, WEXITED | WNOWAIT | WNOHANG) != 0) break;
  }
  std::ofstream("/proc/sys/kernel/ns_last_pid") << ended - 1 << std::flush;
  const pid_t unrelated = fork();
  if (unrelated == 0) {
    setpgid(0, 0);
    pause();
    _exit(0);
  }
  job.Wait();
  int status = 0;
  const bool alive = waitpid(unrelated, &status, WNOHANG) == 0;
  kill(unrelated, SIGKILL);
  waitpid(unrelated, nullptr, 0);
  return alive ? "survived" : "ended by signal " + std::to_string(WTERMSIG(status));
}

TEST(HostileUsers, AGroupLeaderThatReusesAnEndedStagesPidIsNeverSignalled) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root for a pid namespace";
  EXPECT_EQ(inChild([]() -> std::string {
              if (unshare(CLONE_NEWPID) != 0) return std::string("unshare: ") + strerror(errno);
              return inChild(signalsAfterPidReuse);
            }),
            "survived");
}

TEST(HostileCallers, IdsThatMeanNoChangeAreRefusedInTheCaller) {
  const TExec id = command({"id"});
  EXPECT_THROW(id.AsUser(static_cast<uid_t>(-1), static_cast<gid_t>(-1), {}),
               std::invalid_argument);
  EXPECT_THROW(id.AsUser(1000, static_cast<gid_t>(-1), {}), std::invalid_argument);
  EXPECT_THROW(id.AsUser(1000, 1000, {27, static_cast<gid_t>(-1)}), std::invalid_argument);
  EXPECT_THROW(TExecList(id).AsUser(static_cast<uid_t>(-1), 1000, {}), std::invalid_argument);
}

TEST(HostileUsers, ASetUpThatBlocksEndsAtTheDeadlineAndSaysWhere) {
  ScratchDir dir;
  const std::string fifo = dir.file("log");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Nobody ever opens the other end: the child blocks in its open.
  const TOutcome outcome = Execute(command({"echo", "x"}).StdoutToFile(fifo), deadline(1000, 100));
  EXPECT_TRUE(outcome.timedOut);
  ASSERT_EQ(outcome.stages.size(), 1u);
  EXPECT_EQ(outcome.stages[0].setupStep, "open " + fifo + " onto 1");
  EXPECT_EQ(outcome.stages[0].setupError, EINTR);
  // TERM ends it; under memcheck, whose copy of the caller holds TERM while
  // it waits in the open, KILL does.
  EXPECT_THAT(outcome.stages[0].signal, AnyOf(SIGTERM, SIGKILL));
  // Start returns once the child exists, not once it has exec'd.
  TJob blocked = Start(TExecList(command({"cat"}).StdinFromFile(fifo)), deadline(1000, 100));
  EXPECT_EQ(blocked.Wait().stages.at(0).setupStep, "open " + fifo + " onto 0");
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(HostileCallers, WhatAProgramWroteBeforeItEndedIsReadWhateverKillAfter) {
  int short_ = 0;
  for (int i = 0; i < 40; ++i) {
    const TOutcome outcome =
        Execute(sh("head -c 100000 /dev/zero; head -c 3000 /dev/zero >&2"), deadline(0, i % 2));
    if (outcome.out.size() != 100000 || outcome.err.size() != 3000 || outcome.truncated) ++short_;
  }
  EXPECT_EQ(short_, 0);
}

TEST(HostileCallers, ACallerWithItsStandardDescriptorsClosedGetsTheSameOutcome) {
  auto missingProgram = [] {
    const TOutcome outcome = Execute(command({"/no/such/program"}));
    return outcome.Describe() + "|" + outcome.err + "|" + std::to_string(outcome.ExitCode());
  };
  const std::string expected = missingProgram();
  EXPECT_EQ(expected,
            "/no/such/program (could not exec /no/such/program: No such file or directory)||127");
  EXPECT_EQ(inChild([&] {
              close(0);
              close(1);
              close(2);
              return missingProgram();
            }),
            expected);
}

TEST(HostileCallers, DurationsSaturateAndANegativeDeadlineHasPassed) {
  TRunOptions forever;
  forever.timeout = milliseconds::max();
  forever.killAfter = milliseconds::max();
  const TOutcome ended = Execute(sh("exit 3"), forever);
  EXPECT_FALSE(ended.timedOut);
  EXPECT_EQ(ended.ExitCode(), 3);

  const TOutcome passed = Execute(command({"sleep", "30"}), deadline(-1, 100));
  EXPECT_TRUE(passed.timedOut);
  EXPECT_THAT(passed.stages.at(0).signal, AnyOf(SIGTERM, SIGKILL));

  // A negative killAfter is no wait at all between TERM and KILL (the
  // deadline leaves the shell time to set its trap, under memcheck too).
  const TOutcome killed =
      Execute(sh("trap '' TERM; echo ready; exec sleep 30"), deadline(1000, -5));
  EXPECT_TRUE(killed.timedOut);
  EXPECT_EQ(killed.stages.at(0).signal, SIGKILL);
}

TEST(HostileCallers, WherePidfdWaitsAreRefusedEveryChildIsStillReapedAndKnown) {
  EXPECT_EQ(inChild([]() -> std::string {
              if (quill::test::refuseSyscall({SYS_waitid, EINVAL, 0, 3 /* P_PIDFD */}) != 0)
                return "cannot filter";
              const TOutcome outcome =
                  Execute(Pipe(sh("echo x; exit 3"), command({"sh", "-c", "cat; exit 4"})));
              return outcome.Describe() + "; " + std::to_string(quill::test::childProcessCount()) +
                     " children";
            }),
            "sh -c 'echo x; exit 3' (exit 3) | sh -c 'cat; exit 4' (exit 4); 0 children");
}

TEST(HostileCallers, AStandardInputTextArrivesWholeUnderAnyFileSizeLimit) {
  const std::string text(1 << 20, 'x');
  const TExec wc = command({"wc", "-c"}).StdinFromString(text);
  // The command's own limit, and the caller's.
  EXPECT_EQ(ReadOutput(wc.WithLimit(RLIMIT_FSIZE, 4096, 4096)), "1048576\n");
  const rlimit small = {4096, 4096};
  EXPECT_EQ(inChild([&] {
              setrlimit(RLIMIT_FSIZE, &small);
              return ReadOutput(wc);
            }),
            "1048576\n");
  // Past what a pipe may hold the text goes into a file, which a limit the
  // caller may not lift would cut short: the command fails instead.
  const std::string seen = inChild([&] {
    setrlimit(RLIMIT_FSIZE, &small);
    return failureOf(TExecList(command({"wc", "-c"})
                                   .StdinFromString(std::string(4 << 20, 'x'))
                                   .WithRedirectToFile(TRedirectToFile(2, "/dev/null", false))));
  });
  EXPECT_TRUE(seen == "child failed (exit code=126): " || seen == "<no failure>") << seen;
}

TEST(HostileCallers, DescribeIsOneLineThatAShellReadsBackToTheSameWords) {
  const std::vector<std::string> words = {"printf",    "[%s]",   "two\nlines",
                                          "tab\there", "bell\a", "not utf-8 \xff",
                                          "quote'd",   "é",      "a=b"};
  TEArgs args;
  for (const std::string& word : words) args.Add(word);
  const std::string line = Execute(TExec(args, TExec::Fork | TExec::SearchPath)).Describe();
  ASSERT_EQ(line.find('\n'), std::string::npos) << line;
  const std::string quoted = line.substr(0, line.rfind(" ("));
  // A POSIX shell that reads $'...' (bash in POSIX mode; Debian's dash 0.5.12
  // predates it).
  std::string expected;
  for (std::size_t i = 2; i < words.size(); ++i) expected += "[" + words[i] + "]";
  EXPECT_EQ(ReadOutput(command({"bash", "--posix", "-c", quoted})), expected) << quoted;
  // A first word holding "=" would be read as an assignment.
  EXPECT_EQ(Execute(command({"A=B", "x"})).Describe().substr(0, 7), "'A=B' x");
}

TEST(HostileCallers, AZeroByteInAWordIsRefusedBeforeAnythingStarts) {
  const std::string cut("pass\0rest", 9);
  EXPECT_THROW(Execute(command({"echo", cut})), std::invalid_argument);
  EXPECT_THROW(Execute(command({cut})), std::invalid_argument);
  EXPECT_THROW(command({"echo", cut}).Run(), std::invalid_argument);
  EXPECT_THROW(command({"env"}).WithEnv("A", cut), std::invalid_argument);
  EXPECT_THROW(command({"env"}).WithEnv(cut, "x"), std::invalid_argument);
  EXPECT_THROW(command({"env"}).WithoutEnv("A=B"), std::invalid_argument);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(HostileCallers, ChildrenGetTheSignalsTheCLibraryHidesBackAtTheirDefault) {
  // What a caller started by make inherits: 32 and 33 ignored, which the C
  // library's sigaction will not even show.
  struct KernelAction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    unsigned long mask;
  };
  const KernelAction ignore = {SIG_IGN, 0, nullptr, 0};
  KernelAction saved[2] = {};
  for (int sig : {32, 33}) syscall(SYS_rt_sigaction, sig, &ignore, &saved[sig - 32], 8);
  const TOutcome status = Execute(command({"grep", "^SigIgn", "/proc/self/status"}));
  for (int sig : {32, 33}) syscall(SYS_rt_sigaction, sig, &saved[sig - 32], nullptr, 8);
  EXPECT_EQ(status.out, "SigIgn:\t0000000000000000\n");
}

}  // namespace
}  // namespace quill::sys
