#include <quill/sys/exec.h>
#include <quill/sys/prepare.h>

#include "tests/support/proc_count.h"
#include "tests/sys/sys_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <stdexcept>

namespace quill::sys {
namespace {

using test::command;
using test::fileContent;
using test::ScratchDir;
using test::sh;

constexpr std::uint64_t kAll = TExec::Fork | TExec::Wait | TExec::SearchPath;

// Notes every hook as "<process>:<name>.<hook>" in a file that parent and
// child both append to; the process is "P" for the test, "C" for others.
class Recorder : public TExec::TPrepare {
 public:
  Recorder(std::string name, std::string log, bool execErrorAnswer = true)
      : name_(std::move(name)), log_(std::move(log)), answer_(execErrorAnswer), parent_(getpid()) {}
  void BeforeFork(const TExec&) override { note("BeforeFork"); }
  bool OnForkError(const TExec&) override { return note("OnForkError"), true; }
  void InParent(const TExec&) override { note("InParent"); }
  void InChild(const TExec&) override { note("InChild"); }
  void BeforeExec(const TExec&) override { note("BeforeExec"); }
  bool OnExecError(const TExec&) override { return note("OnExecError"), answer_; }

 private:
  void note(const char* hook) {
    const std::string line =
        std::string(getpid() == parent_ ? "P:" : "C:") + name_ + "." + hook + "\n";
    const int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
      (void)!write(fd, line.data(), line.size());
      close(fd);
    }
  }
  std::string name_, log_;
  bool answer_;
  pid_t parent_;
};

// Lines of `log` written by one process ('P' or 'C'), without the tag.
std::string linesOf(const std::string& log, char process) {
  std::string picked, line;
  std::istringstream in(fileContent(log));
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == process) picked += line.substr(2) + " ";
  }
  return picked;
}

class ThrowingInChild : public TExec::TPrepare {
 public:
  void InChild(const TExec&) override { throw std::runtime_error("set-up refused"); }
};

TEST(ExecResult, ReportsThePidAndTheExitCode) {
  const TRunResult result = sh("exit 3").Run();
  EXPECT_GT(result.pid, 0);
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_EQ(sh("exit 0").Run().exitCode, 0);
}

TEST(ExecResult, ASignalEndingTheChildGivesMinusOne) {
  EXPECT_EQ(sh("kill -9 $$").Run().exitCode, -1);
}

TEST(ExecResult, WithoutWaitReturnsAtOnceAndLeavesTheChildToTheCaller) {
  const TRunResult result = sh("exit 5").WithFlags(TExec::Fork | TExec::SearchPath).Run();
  EXPECT_EQ(result.exitCode, 0);
  int status = 0;
  ASSERT_EQ(waitpid(result.pid, &status, 0), result.pid);
  EXPECT_EQ(WEXITSTATUS(status), 5);
}

TEST(ExecResult, AnInterruptedWaitIsRetried) {
  struct sigaction action = {};
  action.sa_handler = [](int) {};
  struct sigaction previous;
  sigaction(SIGALRM, &action, &previous);  // no SA_RESTART: waitpid sees EINTR
  const itimerval every2ms{{0, 2000}, {0, 2000}};
  setitimer(ITIMER_REAL, &every2ms, nullptr);
  const TRunResult result = sh("sleep 0.1; exit 4").Run();
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  signal(SIGALRM, SIG_IGN);  // discards a signal still pending
  sigaction(SIGALRM, &previous, nullptr);
  EXPECT_EQ(result.exitCode, 4);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(ExecChildFailure, AMissingProgramEndsTheChildWith127AndOneLineOnItsStderr) {
  ScratchDir dir;
  const pid_t self = getpid();
  const TExec missing = command({"/nonexistent/program", "arg"}, TExec::Fork | TExec::Wait)
                            .WithRedirectToFile(TRedirectToFile(2, dir.file("err"), false));
  const TRunResult result = missing.Run();
  // Only the test process may get here; a child that came back would append
  // a second line.
  const std::string mark = std::to_string(getpid()) + "\n";
  const int fd = open(dir.file("after").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  ASSERT_EQ(write(fd, mark.data(), mark.size()), static_cast<ssize_t>(mark.size()));
  close(fd);
  ASSERT_EQ(getpid(), self);
  EXPECT_EQ(result.exitCode, 127);
  EXPECT_EQ(fileContent(dir.file("after")), std::to_string(self) + "\n");
  EXPECT_EQ(fileContent(dir.file("err")), "/nonexistent/program: No such file or directory\n");
}

TEST(ExecChildFailure, AProgramNotFoundInPathAlsoGives127) {
  EXPECT_EQ(command({"quill-no-such-program-anywhere"}).Run().exitCode, 127);
  // Without SearchPath a bare name is looked for in the working directory.
  EXPECT_EQ(command({"sh", "-c", "exit 0"}, TExec::Fork | TExec::Wait).Run().exitCode, 127);
}

TEST(ExecChildFailure, AFileThatCannotBeExecutedGives126) {
  ScratchDir dir;
  test::writeFile(dir.file("data"), "not a program\n");
  chmod(dir.file("data").c_str(), 0644);
  EXPECT_EQ(command({dir.file("data")}, TExec::Fork | TExec::Wait).Run().exitCode, 126);
}

TEST(ExecChildFailure, AHookRaisingInTheChildGives126AndItsMessage) {
  ScratchDir dir;
  TExec cmd = command({"true"}).WithRedirectToFile(TRedirectToFile(2, dir.file("err"), false));
  cmd.AddPrep(TSharedPtr<TExec::TPrepare>(new ThrowingInChild));
  EXPECT_EQ(cmd.Run().exitCode, 126);
  EXPECT_EQ(fileContent(dir.file("err")), "true: set-up refused\n");
}

TEST(ExecChildFailure, APreparationDecliningTheExecErrorMakesTheChildExitQuietly) {
  ScratchDir dir;
  TExec cmd = command({"/nonexistent/program"}, TExec::Fork | TExec::Wait)
                  .WithRedirectToFile(TRedirectToFile(2, dir.file("err"), false));
  cmd.AddPrep(TSharedPtr<TExec::TPrepare>(new Recorder("r", dir.file("log"), false)));
  EXPECT_EQ(cmd.Run().exitCode, 127);
  EXPECT_EQ(fileContent(dir.file("err")), "");
  EXPECT_EQ(linesOf(dir.file("log"), 'C'), "r.InChild r.BeforeExec r.OnExecError ");
}

TEST(ExecWithoutFork, AFailedExecRaisesInTheCaller) {
  try {
    command({"/nonexistent/program"}, 0).Run();
    FAIL() << "returned";
  } catch (const TSysCallErr& error) {
    EXPECT_EQ(error.errorNumber, ENOENT);
  }
  errno = 0;
  EXPECT_EQ(command({"/nonexistent/program"}).Exec(false), -1);
  EXPECT_EQ(errno, ENOENT);
  TExec declined = command({"/nonexistent/program"}, 0);
  ScratchDir dir;
  declined.AddPrep(TSharedPtr<TExec::TPrepare>(new Recorder("r", dir.file("log"), false)));
  const TRunResult result = declined.Run();
  EXPECT_EQ(result.pid, -1);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(linesOf(dir.file("log"), 'P'), "r.BeforeExec r.OnExecError ");
}

TEST(ExecWithoutFork, ASuccessfulRunReplacesTheCaller) {
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    try {
      sh("exit 7").WithFlags(TExec::SearchPath).Run();
    } catch (...) {
    }
    _exit(99);  // reached only if the caller was not replaced
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(ExecRefusal, AnEmptyArgumentVectorIsRefusedBeforeAnyHookOrFork) {
  ScratchDir dir;
  TExec empty(EmptyArgs, kAll);
  empty.AddPrep(TSharedPtr<TExec::TPrepare>(new Recorder("r", dir.file("log"))));
  EXPECT_THROW(empty.Run(), TEArgs::TEArgsError);
  EXPECT_THROW(empty.WithFlags(0).Run(), TEArgs::TEArgsError);
  EXPECT_THROW(empty.Exec(true), TEArgs::TEArgsError);
  EXPECT_EQ(fileContent(dir.file("log")), "");
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(ExecHooks, RunInTheirProcessesInTheOrderTheyWereAdded) {
  ScratchDir dir;
  TExec cmd = command({"true"});
  cmd.AddPrep(TSharedPtr<TExec::TPrepare>(new Recorder("a", dir.file("log"))));
  cmd.AddPrep(TSharedPtr<TExec::TPrepare>(new Recorder("b", dir.file("log"))));
  EXPECT_EQ(cmd.Run().exitCode, 0);
  EXPECT_EQ(linesOf(dir.file("log"), 'P'), "a.BeforeFork b.BeforeFork a.InParent b.InParent ");
  EXPECT_EQ(linesOf(dir.file("log"), 'C'), "a.InChild b.InChild a.BeforeExec b.BeforeExec ");
}

TEST(ExecHooks, AddPrepWrapsEvenAnEmptyPreparation) {
  TExec cmd = command({"true"});
  const TSharedPtr<TExec::TPrepare> added(new TRedirect(2, 1));
  cmd.AddPrep(added);
  auto* both = dynamic_cast<TUnionPrep*>(cmd.prep.get());
  ASSERT_NE(both, nullptr);
  EXPECT_FALSE(both->first);
  EXPECT_EQ(both->second.get(), added.get());
}

TEST(ExecValues, DerivedCommandsLeaveTheOperandUnchanged) {
  const TExec cmd = command({"true"});
  const TExec redirected = cmd.StdoutToFile("/dev/null");
  EXPECT_FALSE(cmd.prep);
  EXPECT_TRUE(redirected.prep);
  EXPECT_EQ(&redirected.args.List(), &cmd.args.List());
  EXPECT_EQ(cmd.WithFlagsAnd(5).flags, 5u);
  EXPECT_EQ(cmd.WithFlagsOr(8).flags, 15u);
  EXPECT_EQ(cmd.WithFlagsXor(3).flags, 4u);
  EXPECT_EQ(cmd.WithFlags(1).flags, 1u);
  EXPECT_EQ(cmd.flags, kAll);
  EXPECT_EQ(cmd.WithPrep(redirected.prep).prep.get(), redirected.prep.get());
}

TEST(ExecValues, RedirectionsCopyTheirModelPreparation) {
  TRedirectToFile model(2, "/tmp/x", true);
  const TExec cmd = command({"true"}).WithRedirectToFile(model);
  model.fileName = "/tmp/changed";
  auto* both = dynamic_cast<TUnionPrep*>(cmd.prep.get());
  ASSERT_NE(both, nullptr);
  auto* copy = dynamic_cast<TRedirectToFile*>(both->second.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->fileName, "/tmp/x");
  EXPECT_EQ(copy->fd, 2);
  EXPECT_TRUE(copy->append);
}

}  // namespace
}  // namespace quill::sys
