// Execute and Start: deadlines, both streams, bounded output, an outcome
// per stage, clean children, threads.
#include <quill/sys/execute.h>

#include "tests/support/proc_count.h"
#include "tests/sys/sys_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

namespace quill::sys {
namespace {

using std::chrono::milliseconds;
using test::command;
using test::ScratchDir;
using test::sh;

std::atomic<int> forks{0};

int forksDuring(const std::function<void()>& body) {
  static const bool registered = pthread_atfork([] { ++forks; }, nullptr, nullptr) == 0;
  EXPECT_TRUE(registered);
  const int before = forks;
  body();
  return forks - before;
}

double secondsFor(const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TRunOptions deadline(int timeoutMs, int killAfterMs) {
  TRunOptions options;
  options.timeout = milliseconds(timeoutMs);
  options.killAfter = milliseconds(killAfterMs);
  return options;
}

TEST(ExecuteDeadline, EndsAProgramThatIgnoresTermAndReapsIt) {
  TOutcome outcome;
  const double seconds = secondsFor([&] {
    outcome = Execute(sh("trap '' TERM; echo started; sleep 30; echo never"), deadline(100, 200));
  });
  EXPECT_LT(seconds, 10);
  EXPECT_TRUE(outcome.timedOut);
  EXPECT_FALSE(outcome.Ok());
  EXPECT_EQ(outcome.out, "started\n");
  ASSERT_EQ(outcome.stages.size(), 1u);
  EXPECT_TRUE(outcome.stages[0].statusKnown);
  EXPECT_EQ(outcome.stages[0].signal, SIGKILL);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(ExecuteDeadline, AGrandchildHoldingThePipeCannotHoldTheRun) {
  // Without a deadline the pipe's reading still ends killAfter after the
  // last command; the background sleep keeps its end open for 30 s.
  TRunOptions options;
  options.killAfter = milliseconds(100);
  TOutcome outcome;
  const double seconds = secondsFor([&] { outcome = Execute(sh("sleep 30 & echo hi"), options); });
  EXPECT_LT(seconds, 10);
  EXPECT_EQ(outcome.out, "hi\n");
  EXPECT_TRUE(outcome.Ok()) << outcome.Describe();
  kill(-outcome.stages[0].pid, SIGKILL);  // the grandchild, still in the command's group
}

TEST(ExecuteStreams, BothStreamsAndALongTextArriveWholeWithoutAHelperProcess) {
  const std::string text(4 << 20, 't');
  TOutcome streams, fed;
  const int started = forksDuring([&] {
    streams = Execute(sh("head -c 3000000 /dev/zero; head -c 2000000 /dev/zero >&2"));
    fed = Execute(command({"cat"}).StdinFromString(text));
  });
  EXPECT_EQ(started, 0);
  EXPECT_EQ(streams.out.size(), 3000000u);
  EXPECT_EQ(streams.err.size(), 2000000u);
  EXPECT_TRUE(fed.Ok()) << fed.Describe();
  EXPECT_EQ(fed.out, text);
}

TEST(ExecuteStreams, MaxOutputKeepsTheHeadAndTheTail) {
  TRunOptions options;
  options.maxOutput = 10;
  const TOutcome outcome = Execute(sh("printf 0123456789abcdefghij; printf ABC >&2"), options);
  EXPECT_EQ(outcome.out, "01234fghij");
  EXPECT_EQ(outcome.err, "ABC");
  EXPECT_TRUE(outcome.truncated);
}

TEST(ExecuteStreams, MergedStandardErrorJoinsTheOutputInOrder) {
  TRunOptions options;
  options.mergeStderr = true;
  const TOutcome outcome = Execute(sh("echo one; echo two >&2; echo three"), options);
  EXPECT_EQ(outcome.out, "one\ntwo\nthree\n");
  EXPECT_EQ(outcome.err, "");
}

TEST(ExecuteSetup, AFailedStepIsNamedAndToldApartFromAnExitCode) {
  ScratchDir dir;
  const TOutcome missing = Execute(command({"/no/such/program"}, TExec::Fork));
  ASSERT_EQ(missing.stages.size(), 1u);
  EXPECT_EQ(missing.stages[0].setupError, ENOENT);
  EXPECT_EQ(missing.stages[0].setupStep, "exec /no/such/program");
  EXPECT_EQ(missing.Describe(),
            "/no/such/program (could not exec /no/such/program: No such file or directory)");

  const std::string path = dir.path() + "/no/dir/out";
  const TOutcome unopenable = Execute(command({"echo", "x"}).StdoutToFile(path));
  EXPECT_EQ(unopenable.stages[0].setupError, ENOENT);
  EXPECT_EQ(unopenable.stages[0].setupStep, "open " + path + " onto 1");

  const TOutcome own = Execute(sh("exit 127"));
  EXPECT_EQ(own.stages[0].setupError, 0);
  EXPECT_EQ(own.ExitCode(), 127);
  EXPECT_EQ(own.Describe(), "sh -c 'exit 127' (exit 127)");
}

TEST(ExecuteChildren, StartCleanWhateverTheCallerSet) {
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  sigset_t usr1, mask;
  sigemptyset(&usr1);
  sigaddset(&usr1, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &usr1, &mask);
  const int stray = open("/dev/null", O_RDONLY);  // no close-on-exec

  const TOutcome status = Execute(command({"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}));
  const TOutcome fds = Execute(command({"ls", "/proc/self/fd"}));
  // yes ends by SIGPIPE, quietly, when head has its line.
  const TOutcome pipeline = Execute(Pipe(command({"yes"}), command({"head", "-n", "1"})));

  close(stray);
  pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(status.out, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
  EXPECT_EQ(fds.out, "0\n1\n2\n3\n");  // 3: the directory ls reads
  EXPECT_EQ(pipeline.out, "y\n");
  EXPECT_EQ(pipeline.err, "");
  EXPECT_EQ(pipeline.stages[0].signal, SIGPIPE);
}

TEST(ExecuteWaits, AnEndNobodyCouldObserveIsNeverSuccess) {
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &previous);  // children are reaped by the kernel
  const TOutcome outcome = Execute(command({"true"}));
  sigaction(SIGCHLD, &previous, nullptr);
  ASSERT_EQ(outcome.stages.size(), 1u);
  EXPECT_FALSE(outcome.stages[0].statusKnown);
  EXPECT_FALSE(outcome.Ok());
  EXPECT_EQ(outcome.Describe(), "true (end not observed)");
}

TEST(ExecuteWaits, LeavesTheCallersOtherChildrenAlone) {
  const TRunResult other = sh("exit 7").WithFlags(TExec::Fork | TExec::SearchPath).Run();
  EXPECT_TRUE(Execute(sh("sleep 0.05")).Ok());
  EXPECT_EQ(WEXITSTATUS(WaitChild(other.pid)), 7);
}

TEST(ExecuteThreads, OneListRunByFourThreadsAtOnce) {
  const TExecList pipeline =
      Pipe(command({"printf", "b\\na\\nb\\n"}), Pipe(command({"sort"}), command({"uniq", "-c"})));
  const TExec fed = command({"cat"}).StdinFromString("fed\n");
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        const TOutcome counted = Execute(pipeline);
        const TOutcome echoed = Execute(fed);
        if (counted.Ok() && counted.out == "      1 a\n      2 b\n" && echoed.out == "fed\n")
          ++good;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(good, 100);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(Job, RunsInTheBackgroundAndEndsWhatItWasNotWaitedFor) {
  {
    TJob job = Start(TExecList(sh("read line; echo got $line").StdinFromString("x\n")));
    while (!job.Done()) {
      std::this_thread::yield();
    }
    const TOutcome outcome = job.Wait();
    EXPECT_EQ(outcome.out, "got x\n");
    EXPECT_THROW(job.Wait(), std::logic_error);
  }
  std::vector<pid_t> pids;
  {
    TJob job = Start(Pipe(command({"sleep", "30"}), command({"cat"})));
    pids = job.Pids();
    job.Signal(SIGSTOP);
  }
  EXPECT_EQ(pids.size(), 2u);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

}  // namespace
}  // namespace quill::sys
