// Jobs an event loop drives: the job's descriptor in poll, epoll and
// Boost.Asio, many jobs from one thread, output as it arrives, input as it
// comes.
#include <quill/sys/execute.h>

#include "tests/support/proc_count.h"
#include "tests/sys/sys_test_util.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace quill::sys {
namespace {

using std::chrono::milliseconds;
using test::command;
using test::deadline;
using test::sh;

// What a loop made of: how often the job's descriptor woke it, the outcome.
struct Driven {
  int wakeUps = 0;
  TOutcome outcome;
};

// Drives `job` by calling Done() only when its descriptor is readable, as
// told by `waitReadable`.
Driven driveBy(TJob job, const std::function<void(int fd)>& waitReadable) {
  Driven driven;
  while (true) {
    waitReadable(job.Fd());
    ++driven.wakeUps;
    if (job.Done()) break;
  }
  driven.outcome = job.Wait();
  return driven;
}

// Output on both streams over a while, then an exit code; and a command
// the deadline ends.
const TExecList kTalker(sh("echo one; sleep 0.1; echo two >&2; sleep 0.1; echo three; exit 3"));
const TExecList kSleeper(command({"sleep", "30"}));

void expectSameAsWait(const Driven& talker, const Driven& sleeper) {
  EXPECT_EQ(talker.outcome.out, "one\nthree\n");
  EXPECT_EQ(talker.outcome.err, "two\n");
  EXPECT_EQ(talker.outcome.ExitCode(), 3);
  EXPECT_TRUE(sleeper.outcome.timedOut);
  EXPECT_EQ(sleeper.outcome.stages.at(0).signal, SIGTERM);
  // Each wake-up brings something to do: output, an end, a timer; a
  // descriptor that stayed ready for nothing would wake the loop thousands
  // of times.
  EXPECT_LT(talker.wakeUps, 20);
  EXPECT_LT(sleeper.wakeUps, 20);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(JobDescriptor, PollRunsAJobToTheSameOutcomeAsWaitWithoutSpinning) {
  auto byPoll = [](int fd) {
    pollfd ready = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, -1), 1);
  };
  expectSameAsWait(driveBy(Start(kTalker), byPoll),
                   driveBy(Start(kSleeper, deadline(200)), byPoll));
}

TEST(JobDescriptor, EpollRunsAJobToTheSameOutcomeAsWaitWithoutSpinning) {
  auto byEpoll = [](int fd) {
    const int set = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event = {};
    event.events = EPOLLIN;
    ASSERT_EQ(epoll_ctl(set, EPOLL_CTL_ADD, fd, &event), 0);
    ASSERT_EQ(epoll_wait(set, &event, 1, -1), 1);
    close(set);
  };
  expectSameAsWait(driveBy(Start(kTalker), byEpoll),
                   driveBy(Start(kSleeper, deadline(200)), byEpoll));
}

// Drives `job` from a Boost.Asio loop that waits on the job's descriptor.
Driven driveByAsio(TJob job) {
  boost::asio::io_context loop;
  boost::asio::posix::stream_descriptor descriptor(loop, dup(job.Fd()));
  Driven driven;
  std::function<void(const boost::system::error_code&)> onReady =
      [&](const boost::system::error_code& error) {
        ++driven.wakeUps;
        if (error || job.Done()) return;
        descriptor.async_wait(boost::asio::posix::stream_descriptor::wait_read, onReady);
      };
  descriptor.async_wait(boost::asio::posix::stream_descriptor::wait_read, onReady);
  loop.run();
  driven.outcome = job.Wait();
  return driven;
}

TEST(JobDescriptor, BoostAsioRunsAJobToTheSameOutcomeAsWaitWithoutSpinning) {
  expectSameAsWait(driveByAsio(Start(kTalker)), driveByAsio(Start(kSleeper, deadline(200))));
}

TEST(WaitAny, ReturnsEachOfAThousandJobsOnceWithItsOutcome) {
  // Each job holds a few descriptors while it runs.
  rlimit limit = {};
  getrlimit(RLIMIT_NOFILE, &limit);
  const rlimit saved = limit;
  limit.rlim_cur = limit.rlim_max;
  if (limit.rlim_cur < 8192 || setrlimit(RLIMIT_NOFILE, &limit) != 0)
    GTEST_SKIP() << "needs 8192 descriptors; the hard limit is " << limit.rlim_max;
  // Under memcheck, whose every start is slow, a tenth of them.
  const std::size_t kJobs = std::getenv("QUILL_UNDER_MEMCHECK") != nullptr ? 100 : 1000;
  std::vector<TJob> jobs;
  for (std::size_t i = 0; i < kJobs; ++i)
    jobs.push_back(Start(TExecList(command({"sh", "-c", "exit " + std::to_string(i % 7)}))));
  std::vector<int> returned(kJobs, 0);
  int wrong = 0;
  for (std::size_t n = 0; n < kJobs; ++n) {
    const std::size_t i = WaitAny(jobs, milliseconds(-1));
    ASSERT_LT(i, kJobs);
    ++returned[i];
    if (jobs[i].Wait().ExitCode() != static_cast<int>(i % 7)) ++wrong;
  }
  EXPECT_EQ(WaitAny(jobs, milliseconds(-1)), kJobs);  // none left
  EXPECT_EQ(std::count(returned.begin(), returned.end(), 1), static_cast<long>(kJobs));
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
  jobs.clear();
  setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(WaitAny, ReturnsTheSizeWhenTheTimeoutPassesFirst) {
  std::vector<TJob> jobs;
  jobs.push_back(Start(TExecList(command({"sleep", "30"}))));
  EXPECT_EQ(WaitAny(jobs, milliseconds(50)), 1u);
  std::vector<TJob> none;
  EXPECT_EQ(WaitAny(none, milliseconds(-1)), 0u);
}

// Lines as onLine saw them, "<stream>:<line>".
std::vector<std::string> linesOf(const TExecList& list, TRunOptions options = TRunOptions()) {
  std::vector<std::string> seen;
  options.onLine = [&](int stream, std::string_view line) {
    seen.push_back(std::to_string(stream) + ":" + std::string(line));
  };
  const TOutcome outcome = Execute(list, options);
  if (!outcome.out.empty() || !outcome.err.empty()) seen.push_back("kept in the outcome too");
  return seen;
}

TEST(OutputAsItArrives, LinesComeWholeInOrderAndAreNotKept) {
  EXPECT_EQ(linesOf(TExecList(sh("printf 'a\\n\\nb\\n'; echo e >&2; printf last"))),
            (std::vector<std::string>{"1:a", "1:", "1:b", "2:e", "1:last"}));
  TRunOptions pieces;
  pieces.maxLine = 4;
  EXPECT_EQ(linesOf(TExecList(sh("echo abcdefghij; echo wxyz")), pieces),
            (std::vector<std::string>{"1:abcd", "1:efgh", "1:ij", "1:wxyz"}));
  TRunOptions both;
  both.onOutput = [](int, std::string_view) {};
  both.onLine = [](int, std::string_view) {};
  EXPECT_THROW(Execute(sh("true"), both), std::invalid_argument);
}

TEST(OutputAsItArrives, EveryByteOnceAndInOrder) {
  std::string out;
  TRunOptions options;
  options.onOutput = [&](int stream, std::string_view bytes) {
    if (stream == 1) out.append(bytes);
  };
  const TOutcome outcome = Execute(sh("seq 1 200000"), options);
  std::string expected;
  for (int i = 1; i <= 200000; ++i) expected += std::to_string(i) + "\n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(outcome.out, "");
}

TEST(OutputAsItArrives, ALineIsSeenBeforeTheCommandGoesOn) {
  // The command prints its second line only once the loop has seen the
  // first and answered it: a run that delivered at the end would stall
  // until the deadline.
  TJob* running = nullptr;
  std::vector<std::string> lines;
  TRunOptions options = deadline(10000);
  options.onLine = [&](int, std::string_view line) {
    lines.emplace_back(line);
    if (line == "question") running->Write("answer\n");
  };
  TJob job =
      Start(TExecList(sh("echo question; read reply; echo got $reply").StdinFromCaller()), options);
  running = &job;
  const TOutcome outcome = job.Wait();
  EXPECT_FALSE(outcome.timedOut);
  EXPECT_EQ(lines, (std::vector<std::string>{"question", "got answer"}));
}

TEST(OutputAsItArrives, ACallbackThatRaisesEndsTheRunAndItsErrorComesBack) {
  TRunOptions options;
  options.killAfter = milliseconds(200);
  options.onLine = [](int, std::string_view) { throw std::runtime_error("the log is full"); };
  EXPECT_THROW(
      {
        try {
          Execute(sh("echo x; exec sleep 30"), options);
        } catch (const std::runtime_error& error) {
          EXPECT_STREQ(error.what(), "the log is full");
          throw;
        }
      },
      std::runtime_error);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(InputAsItComes, WritesQueueWithoutBlockingAndEndWithCloseStdin) {
  TJob cat = Start(TExecList(command({"cat"}).StdinFromCaller()));
  const std::string big(4 << 20, 'x');  // far more than a pipe holds
  cat.Write("head:");
  cat.Write(big);
  cat.CloseStdin();
  EXPECT_THROW(cat.Write("late"), std::logic_error);
  const TOutcome outcome = cat.Wait();
  EXPECT_EQ(outcome.out, "head:" + big);
  EXPECT_THROW(cat.Write("after the end"), std::logic_error);

  // A program that never reads cannot stall the loop, and its deadline holds.
  TJob deaf = Start(TExecList(command({"sleep", "30"}).StdinFromCaller()), deadline(200));
  deaf.Write(big);
  EXPECT_TRUE(deaf.Wait().timedOut);

  // Without a caller to feed it, the program reads an empty input.
  EXPECT_EQ(Execute(command({"wc", "-c"}).StdinFromCaller()).out, "0\n");
  TJob plain = Start(TExecList(command({"true"})));
  EXPECT_THROW(plain.Write("x"), std::logic_error);
  plain.Wait();
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(InputAsItComes, AJobNobodyDrivesStillEndsAndReapsEverything) {
  {
    TJob idle = Start(Pipe(command({"sleep", "30"}).StdinFromCaller(), command({"cat"})));
    idle.Write("never read\n");
  }
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

}  // namespace
}  // namespace quill::sys
