// Failure paths that no real condition can cause on demand, driven by the
// link-time wrappers of syscall_wrappers.h: a sync that reports an I/O error,
// an interrupted or refused wait, a pipe refused at any point of a start.
// Each case checks the exact error, and that
// no file, descriptor or child is left behind.

#include <quill/errors/errors.h>
#include <quill/files/backup.h>
#include <quill/files/replace.h>
#include <quill/sys/args.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/execute.h>
#include <quill/sys/prepare.h>

#include "tests/faults/fault_support.h"
#include "tests/faults/syscall_wrappers.h"
#include "tests/support/proc_count.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace quill::test {
namespace {

using sys::TEArgs;
using sys::TExec;
using sys::TRedirectToFile;
using sys::TRunOptions;

const char kHandEdited[] = "; edited by hand\n";

TExec command(std::initializer_list<std::string> words) {
  TEArgs args;
  for (const std::string& word : words) args.Add(word);
  return TExec(args, TExec::Fork | TExec::Wait | TExec::SearchPath);
}

class Wrapped : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    passAll();
    descriptors_ = openDescriptorCount();
  }

  void TearDown() override {
    passAll();
    EXPECT_EQ(childProcessCount(), 0);
    EXPECT_EQ(openDescriptorCount(), descriptors_);
  }

  ScratchDir dir_;
  int descriptors_ = 0;
};

using FailedSync = Wrapped;

TEST_F(FailedSync, ReplacementRaisesAndKeepsTheOldContent) {
  const std::string target = dir_.path() + "/localhost.rev";
  writeContent(target, kHandEdited);
  std::string raised;
  {
    FileReplacement replacement(target);
    replacement << "new content\n";
    failOnce(WrappedCall::kFsync, EIO);
    raised = raisedBy([&] { replacement.commit(); });
  }
  EXPECT_EQ(injectedFailures(WrappedCall::kFsync), 1);
  EXPECT_EQ(raised, "quill::SystemError: Cannot replace " + target + ": Input/output error");
  EXPECT_EQ(contentOf(target), kHandEdited);
  EXPECT_EQ(listing(dir_.path()), std::vector<std::string>{"localhost.rev"});
}

TEST_F(FailedSync, BackupRemovesItsCopyAndEndsTheProcess) {
  const std::string zone = dir_.path() + "/localhost.rev";
  writeContent(zone, kHandEdited);
  EXPECT_EQ(terminationOf([&] {
              failOnce(WrappedCall::kFsync, EIO);
              backupSystemConf(zone.c_str());
            }),
            "terminated by quill::SystemError: Cannot write " + zone +
                ".saved_by_vex: Input/output error");
  EXPECT_EQ(contentOf(zone), kHandEdited);
  EXPECT_EQ(listing(dir_.path()), std::vector<std::string>{"localhost.rev"});
}

using InterruptedWait = Wrapped;

TEST_F(InterruptedWait, RunWaitsAgainAndReportsTheExitCode) {
  failOnce(WrappedCall::kWaitpid, EINTR);
  EXPECT_EQ(command({"sh", "-c", "exit 3"}).Run().exitCode, 3);
  EXPECT_EQ(injectedFailures(WrappedCall::kWaitpid), 1);
}

TEST_F(InterruptedWait, WaitChildWaitsAgainAndReportsTheStatus) {
  TExec started = command({"sh", "-c", "exit 6"});
  started.flags = TExec::Fork | TExec::SearchPath;
  const int pid = started.Run().pid;
  failOnce(WrappedCall::kWaitpid, EINTR);
  const int status = sys::WaitChild(pid);
  EXPECT_EQ(injectedFailures(WrappedCall::kWaitpid), 1);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 6);
}

TEST_F(InterruptedWait, RefusedWaitRaisesAndReapsEveryStage) {
  failOnce(WrappedCall::kWaitpid, EINVAL);
  EXPECT_EQ(raisedBy([] {
              sys::ReadOutput(sys::Pipe(command({"printf", "x"}), command({"cat"})));
            }),
            "quill::SystemError: waitpid() failed: Invalid argument");
  EXPECT_EQ(injectedFailures(WrappedCall::kWaitpid), 1);
}

using FailedPipe = Wrapped;

TEST_F(FailedPipe, EveryPipeOfAStartThatFailsLeavesNothingOpen) {
  // The captures, the pipeline's pipe, the text's, each stage's report.
  const sys::TExecList list =
      sys::Pipe(command({"cat"}).StdinFromString("text\n"), command({"wc", "-c"}));
  int failures = 0;
  for (int skip = 0; failures < 20; ++skip) {
    failOnce(WrappedCall::kPipe2, EMFILE, skip);
    const std::string raised = raisedBy([&] { sys::Execute(list); });
    if (injectedFailures(WrappedCall::kPipe2) == 0) {
      EXPECT_EQ(raised, "nothing raised");
      break;
    }
    EXPECT_EQ(raised, "quill::sys::TSysCallErr: Too many open files") << "pipe " << skip;
    EXPECT_EQ(openDescriptorCount(), descriptors_) << "pipe " << skip;
    EXPECT_EQ(childProcessCount(), 0) << "pipe " << skip;
    passAll();
    ++failures;
  }
  EXPECT_EQ(failures, 6);
}

// A copy of the caller made by a fork without exec right after one of a
// run's pipes appears holds its ends: neither Execute (bounded by its
// deadline) nor Start (bounded by the start of its children) may wait for
// that copy to let go.
TEST_F(FailedPipe, AForkedCopyHoldingARunsPipesCannotHoldTheCaller) {
  TRunOptions options;
  options.timeout = std::chrono::milliseconds(2000);
  options.killAfter = std::chrono::milliseconds(100);
  auto heldDuring = [](int skip, const std::function<std::string()>& run) {
    return inChild([&]() -> std::string {
      alarm(20);  // a run that waited for the copy would wait for ever
      holdAfterPipe(skip);
      const std::string seen = run();
      kill(heldBy(), SIGKILL);
      waitpid(heldBy(), nullptr, 0);
      return seen;
    });
  };
  // The captures, then the report pipe of the child.
  for (int skip = 0; skip < 3; ++skip) {
    EXPECT_EQ(heldDuring(skip,
                         [&] {
                           return sys::Execute(command({"echo", "x"}), options).out;
                         }),
              "x\n")
        << "pipe " << skip;
    EXPECT_EQ(heldDuring(skip,
                         [&] {
                           sys::TJob job = sys::Start(sys::TExecList(command({"true"})), options);
                           // The copy holds the capture too: it is read for
                           // killAfter, then left.
                           return job.Wait().Describe();
                         }),
              "true (exit 0) [output truncated]")
        << "pipe " << skip;
  }
}

}  // namespace
}  // namespace quill::test
