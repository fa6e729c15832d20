// Which commands start without a full fork, and that both ways of starting
// behave alike. A fork runs the pthread_atfork handlers in the caller; a
// start that borrows the caller's memory does not, so counting them tells
// the two apart from the outside.
#include <quill/sys/exec_list.h>
#include <quill/sys/execute.h>

#include "tests/support/proc_count.h"
#include "tests/sys/foreign_alloc.h"
#include "tests/sys/sys_test_util.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <functional>
#include <vector>

namespace quill::sys {
namespace {

using test::command;
using test::fileContent;
using test::ScratchDir;
using test::sh;

int forks = 0;

class ForkCounter : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static const bool registered = pthread_atfork([] { ++forks; }, nullptr, nullptr) == 0;
    ASSERT_TRUE(registered);
  }
  // Full forks made by the caller while running `list`.
  static int forksFor(const TExecList& list) {
    const int before = forks;
    ReadOutput(list);
    return forks - before;
  }
};

// A preparation of the user's own: its hooks may do anything in the child.
class UserPrep : public TExec::TPrepare {};

// A user's subclass of a library preparation may override its hooks.
class LoggedToFile : public TToFile {
 public:
  using TToFile::TToFile;
};

class UserUnion : public TUnionPrep {
 public:
  using TUnionPrep::TUnionPrep;
};

TSharedPtr<TExec::TPrepare> prep(TExec::TPrepare* p) {
  return TSharedPtr<TExec::TPrepare>(p);
}

TEST_F(ForkCounter, DescriptorPreparationsStartWithoutAFork) {
  ScratchDir dir;
  test::writeFile(dir.file("in"), "b\na\n");
  EXPECT_EQ(forksFor(TExecList(command({"true"}))), 0);
  EXPECT_EQ(forksFor(Pipe(Pipe(command({"cat"}).StdinFromFile(dir.file("in")), command({"sort"})),
                          command({"cat"})
                              .WithRedirect(TRedirect(2, 1))
                              .WithRedirectToFile(TRedirectToFile(3, dir.file("three"), true)))),
            0);
  EXPECT_EQ(forksFor(StdoutToFile(TExecList(command({"echo"})), dir.file("out"))), 0);
  TExec nested = command({"true"});
  nested.AddPrep(prep(new TUnionPrep(
      prep(new TRedirect(2, 1)),
      prep(new TUnionPrep(TSharedPtr<TExec::TPrepare>(), TSharedPtr<TExec::TPrepare>())))));
  EXPECT_EQ(forksFor(TExecList(nested)), 0);
  // A text for standard input is written by the child itself, into a pipe
  // or, past what a pipe holds, an anonymous file: no writer process.
  EXPECT_EQ(forksFor(TExecList(command({"cat"}).StdinFromString("text"))), 0);
  EXPECT_EQ(forksFor(TExecList(command({"cat"}).StdinFromString(std::string(1 << 20, 'x')))), 0);
}

TEST_F(ForkCounter, AnyOtherPreparationKeepsTheFullFork) {
  const TExec cat = command({"cat"});
  TExec user = cat;
  user.AddPrep(prep(new UserPrep));
  EXPECT_EQ(forksFor(TExecList(user)), 1);
  EXPECT_EQ(forksFor(TExecList(cat.WithPrep(prep(new LoggedToFile("/dev/null", false))))), 1);
  EXPECT_EQ(forksFor(TExecList(cat.WithPrep(
                prep(new UserUnion(prep(new TRedirect(2, 1)), TSharedPtr<TExec::TPrepare>()))))),
            1);
  // Only the stage that needs it pays for the fork.
  EXPECT_EQ(forksFor(Pipe(Pipe(command({"echo"}), user), command({"cat"}))), 1);
}

TEST_F(ForkCounter, AChildStartedWithoutAForkAllocatesNothing) {
  ScratchDir dir;
  const TRedirectToFile quiet(2, "/dev/null", false);
  std::string out;
  int status = 0;
  test::watchForeignAllocations(getpid());
  const int before = forks;
  RunAndRead(out, status,
             Pipe(command({"echo", "x"}).WithRedirect(TRedirect(2, 1)),
                  command({"cat"}).StdoutToFile(dir.file("out"))));
  RunAndRead(out, status, TExecList(command({"/nonexistent/program"}).WithRedirectToFile(quiet)));
  const int missingProgram = status;
  RunAndRead(out, status,
             TExecList(command({"cat"}).WithRedirectToFile(quiet).StdinFromFile(dir.file("no"))));
  const int missingInput = status;
  const int allocations = test::foreignAllocations();
  test::watchForeignAllocations(0);
  EXPECT_EQ(forks, before);
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(WEXITSTATUS(missingProgram), 127);
  EXPECT_EQ(WEXITSTATUS(missingInput), 126);
}

// The same command started both ways: as it is, and with a preparation of
// the user's that does nothing but forces the full fork.
std::vector<TExec> bothWays(const TExec& cmd) {
  TExec forced = cmd;
  forced.AddPrep(prep(new UserPrep));
  return {cmd, forced};
}

TEST(StartingWays, FailuresLookTheSameEitherWay) {
  ScratchDir dir;
  for (const TExec& missing :
       bothWays(command({"/nonexistent/program"}, TExec::Fork | TExec::Wait)
                    .WithRedirectToFile(TRedirectToFile(2, dir.file("err1"), false)))) {
    EXPECT_EQ(missing.Run().exitCode, 127);
    EXPECT_EQ(fileContent(dir.file("err1")), "/nonexistent/program: No such file or directory\n");
  }
  for (const TExec& noInput :
       bothWays(command({"cat"})
                    .WithRedirectToFile(TRedirectToFile(2, dir.file("err2"), false))
                    .StdinFromFile(dir.file("missing")))) {
    EXPECT_EQ(noInput.Run().exitCode, 126);
    EXPECT_EQ(fileContent(dir.file("err2")),
              "cat: " + dir.file("missing") + ": open failed: No such file or directory\n");
  }
  for (const TExec& badCopy :
       bothWays(command({"true"})
                    .WithRedirectToFile(TRedirectToFile(2, dir.file("err3"), false))
                    .WithRedirect(TRedirect(1, 987)))) {
    EXPECT_EQ(badCopy.Run().exitCode, 126);
    EXPECT_EQ(fileContent(dir.file("err3")), "true: Bad file descriptor\n");
  }
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

// What the descriptors 0 to 8 of a program are, written to the file named
// by its argument through descriptor 9: "<fd> <target>" per open one, pipes
// without their inode numbers. Then it copies its input to its output and
// writes a line to its standard error.
TExec probe(const std::string& report) {
  return command({"sh", "-c",
                  "exec 9>\"$0\"; for fd in 0 1 2 3 4 5 6 7 8; do "
                  "[ -e /proc/$$/fd/$fd ] && printf '%s %s\\n' $fd "
                  "\"$(readlink /proc/$$/fd/$fd | sed 's/:\\[.*//')\" >&9; done; "
                  "cat 2>/dev/null; echo to-stderr >&2",
                  report});
}

// Each case adds one kind of the library's preparations; the last one lists
// a pipeline, whose stages get the pipeline's ends.
std::vector<std::function<TExecList(const TExec&)>> preparationCases(const ScratchDir& dir) {
  return {
      [&](const TExec& c) { return TExecList(c.StdinFromFile(dir.file("in"))); },
      [&](const TExec& c) { return TExecList(c.StdoutToFile(dir.file("out"))); },
      [&](const TExec& c) { return TExecList(c.StdoutAppendToFile(dir.file("out"))); },
      [&](const TExec& c) { return TExecList(c.WithRedirect(TRedirect(5, 2))); },
      [&](const TExec& c) { return TExecList(c.WithRedirect(TRedirect(2, 1))); },
      [&](const TExec& c) {
        return TExecList(c.WithRedirectToFile(TRedirectToFile(4, dir.file("out"), true)));
      },
      [&](const TExec& c) { return TExecList(c.StdinFromString("a short text\n")); },
      [&](const TExec& c) { return TExecList(c.StdinFromString(std::string(300000, 'y'))); },
      [&](const TExec& c) {
        return Pipe(command({"echo", "piped"}), Pipe(c, command({"cat"})));
      },
  };
}

// What the probe of each case reported, with the files it wrote, run by
// `run` both ways.
std::vector<std::string> seenBothWays(const ScratchDir& dir,
                                      const std::function<TExecList(const TExec&)>& makeCase,
                                      const std::function<void(const TExecList&)>& run) {
  std::vector<std::string> seen;
  for (const TExec& way : bothWays(probe(dir.file("report")))) {
    test::writeFile(dir.file("out"), "before\n");
    run(StdoutAppendToFile(
        makeCase(way.WithRedirectToFile(TRedirectToFile(2, dir.file("err"), false))),
        dir.file("out")));
    seen.push_back(fileContent(dir.file("report")) + "|" + fileContent(dir.file("out")) + "|" +
                   fileContent(dir.file("err")));
  }
  return seen;
}

TEST(StartingWays, EveryLibraryPreparationSetsUpTheSameDescriptorsEitherWay) {
  ScratchDir dir;
  test::writeFile(dir.file("in"), "from a file\n");
  const auto cases = preparationCases(dir);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::vector<std::string> seen =
        seenBothWays(dir, cases[i], [](const TExecList& list) { RunAll(list); });
    EXPECT_EQ(seen[0], seen[1]) << "case " << i;
  }
  // And a preparation that fails says so in the same words either way.
  for (const TExec& way : bothWays(probe(dir.file("report")))) {
    const TExec failing = way.WithRedirectToFile(TRedirectToFile(2, dir.file("err"), false))
                              .StdoutToFile(dir.path() + "/no/such/dir/out");
    EXPECT_EQ(failing.Run().exitCode, 126);
    EXPECT_EQ(fileContent(dir.file("err")),
              "sh: " + dir.path() + "/no/such/dir/out: open failed: No such file or directory\n");
  }
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(StartingWays, ExecuteSetsUpTheSameDescriptorsWithAndWithoutAPreparationOfTheCallers) {
  ScratchDir dir;
  test::writeFile(dir.file("in"), "from a file\n");
  const auto cases = preparationCases(dir);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::vector<std::string> seen =
        seenBothWays(dir, cases[i], [](const TExecList& list) { Execute(list); });
    EXPECT_EQ(seen[0], seen[1]) << "case " << i;
  }
  // And a failed set-up is named in the same words either way.
  for (const TExec& way : bothWays(probe(dir.file("report")))) {
    const TOutcome outcome = Execute(way.StdoutToFile(dir.path() + "/no/such/dir/out"));
    EXPECT_EQ(outcome.stages.at(0).setupStep, "open " + dir.path() + "/no/such/dir/out onto 1");
    EXPECT_EQ(outcome.stages.at(0).setupError, ENOENT);
  }
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(StartingWays, TheChildGetsTheCallersSignalMaskAndTheCallerKeepsIt) {
  sigset_t usr2, previous;
  sigemptyset(&usr2);
  sigaddset(&usr2, SIGUSR2);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr2, &previous), 0);
  const std::string expected = "SigBlk:\t" + std::string(16 - 8, '0') + "00000800\n";
  std::vector<std::string> seen;
  for (const TExec& grep : bothWays(command({"grep", "SigBlk", "/proc/self/status"}))) {
    seen.push_back(ReadOutput(grep));
  }
  sigset_t after;
  pthread_sigmask(SIG_SETMASK, &previous, &after);
  EXPECT_EQ(seen, (std::vector<std::string>{expected, expected}));
  EXPECT_TRUE(sigismember(&after, SIGUSR2));
  EXPECT_FALSE(sigismember(&after, SIGTERM));
}

TEST(StartingWays, ACallersHandlerDoesNotReachTheProgram) {
  struct sigaction handler = {}, previous;
  handler.sa_handler = [](int) {};
  sigaction(SIGTERM, &handler, &previous);
  // The program sees the default action, so TERM ends it.
  for (const TExec& self : bothWays(sh("kill -TERM $$; echo survived"))) {
    EXPECT_EQ(self.Run().exitCode, -1);
  }
  sigaction(SIGTERM, &previous, nullptr);
}

}  // namespace
}  // namespace quill::sys
