// Failure paths that no real condition can cause on demand, driven by the
// link-time wrappers of syscall_wrappers.h: a sync that reports an I/O error,
// an interrupted or refused wait, a descriptor copy or a pipe write that
// fails in the child. Each case checks the exact error or the child's exact
// line, and that no file, descriptor or child is left behind.

#include <quill/errors/errors.h>
#include <quill/files/backup.h>
#include <quill/files/replace.h>
#include <quill/sys/args.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/prepare.h>

#include "tests/faults/fault_support.h"
#include "tests/faults/syscall_wrappers.h"
#include "tests/support/proc_count.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cerrno>
#include <initializer_list>
#include <string>
#include <vector>

namespace quill::test {
namespace {

using sys::TEArgs;
using sys::TExec;
using sys::TRedirectToFile;

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

// The capture of standard output set up by the library's own preparations
// only (the child replays them before exec) and with a standard-input text
// added (the child runs the hooks themselves): a failed copy onto standard
// output must fail the child the same way.
class FailedCopy : public Wrapped, public ::testing::WithParamInterface<bool> {};

TEST_P(FailedCopy, FailsTheChildWithTheReason) {
  const std::string errors = dir_.path() + "/stderr";
  TExec cmd = command({"sh", "-c", "echo x"}).WithRedirectToFile(TRedirectToFile(2, errors, false));
  // Copies before the capture's: standard error, then standard input.
  int copiesBefore = 1;
  if (GetParam()) {
    cmd = cmd.StdinFromString("");
    ++copiesBefore;
  }
  failOnce(WrappedCall::kDup2, EBUSY, copiesBefore);
  EXPECT_EQ(raisedBy([&] { sys::ReadOutput(cmd); }),
            "std::runtime_error: child failed (exit code=126): ");
  EXPECT_EQ(childErrors(errors), "sh: Device or resource busy\n");
}

INSTANTIATE_TEST_SUITE_P(ReplayedAndHooked, FailedCopy, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Hooks" : "Replayed";
                         });

using FailedWrite = Wrapped;

TEST_F(FailedWrite, StandardInputTextThatCannotBeWrittenFailsTheChild) {
  const std::string errors = dir_.path() + "/stderr";
  failOnce(WrappedCall::kWrite, EIO);
  EXPECT_EQ(raisedBy([&] {
              sys::ReadOutput(command({"cat"})
                                  .WithRedirectToFile(TRedirectToFile(2, errors, false))
                                  .StdinFromString("text for cat\n"));
            }),
            "std::runtime_error: child failed (exit code=126): ");
  EXPECT_EQ(childErrors(errors), "cat: Input/output error\n");
}

}  // namespace
}  // namespace quill::test
