#include <quill/sys/exec_list.h>

#include "tests/support/proc_count.h"
#include "tests/sys/sys_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <stdexcept>

namespace quill::sys {
namespace {

using test::command;
using test::fileContent;
using test::ScratchDir;
using test::sh;

constexpr std::uint64_t kAll = TExec::Fork | TExec::Wait | TExec::SearchPath;

std::vector<std::string> programs(const TExecList& list) {
  std::vector<std::string> names;
  for (const TExec& cmd : list) names.push_back(cmd.args.Get(0));
  return names;
}

std::vector<std::uint64_t> flagsOf(const TExecList& list) {
  std::vector<std::uint64_t> flags;
  for (const TExec& cmd : list) flags.push_back(cmd.flags);
  return flags;
}

using Names = std::vector<std::string>;
using Flags = std::vector<std::uint64_t>;

TEST(Sequence, JoinsCommandsAndListsInOrder) {
  const TExec a = command({"a"}), b = command({"b"}), c = command({"c"});
  EXPECT_EQ(programs(Sequence(a, b)), (Names{"a", "b"}));
  EXPECT_EQ(programs(Sequence(a, Sequence(b, c))), (Names{"a", "b", "c"}));
  EXPECT_EQ(programs(Sequence(Sequence(a, b), c)), (Names{"a", "b", "c"}));
  EXPECT_EQ(programs(Sequence(Sequence(a, b), Sequence(c, a))), (Names{"a", "b", "c", "a"}));
  EXPECT_EQ(flagsOf(Sequence(a, b)), (Flags{kAll, kAll}));
}

TEST(Pipe, OnlyTheLastStageKeepsItsWaitBit) {
  const TExec a = command({"a"}), b = command({"b"}), c = command({"c"});
  const Flags expected{5, 5, kAll};
  EXPECT_EQ(flagsOf(Pipe(Pipe(a, b), c)), expected);
  EXPECT_EQ(flagsOf(Pipe(a, Pipe(b, c))), expected);
  EXPECT_EQ(flagsOf(Pipe(TExecList(a), TExecList(b))), (Flags{5, kAll}));
  EXPECT_EQ(programs(Pipe(Pipe(a, b), Pipe(c, a))), (Names{"a", "b", "c", "a"}));
}

TEST(Pipe, LeavesItsOperandsUnchanged) {
  const TExec a = command({"a"}), b = command({"b"});
  const TExecList left = Sequence(a, b);
  const TExecList joined = Pipe(left, a);
  EXPECT_FALSE(a.prep);
  EXPECT_EQ(flagsOf(left), (Flags{kAll, kAll}));
  for (const TExec& cmd : left) EXPECT_FALSE(cmd.prep);
  EXPECT_TRUE(joined.back().prep);
}

TEST(Pipe, AnEmptySideGivesTheOtherSideUnchanged) {
  const TExecList list = Sequence(command({"a"}), command({"b"}));
  for (const TExecList& joined : {Pipe(TExecList(), list), Pipe(list, TExecList())}) {
    EXPECT_EQ(programs(joined), (Names{"a", "b"}));
    EXPECT_EQ(flagsOf(joined), (Flags{kAll, kAll}));
    for (const TExec& cmd : joined) EXPECT_FALSE(cmd.prep);
  }
  // The reader of a pipe nobody made would have closed the caller's stdin.
  EXPECT_EQ(ReadOutput(Pipe(TExecList(), command({"echo", "alone"}))), "alone\n");
  EXPECT_NE(fcntl(0, F_GETFD), -1);
  EXPECT_TRUE(Pipe(TExecList(), TExecList()).empty());
}

TEST(ListForms, AddTheirPreparationToTheLastCommandOnly) {
  ScratchDir dir;
  const TExecList list = Sequence(sh("echo first"), sh("echo second"));
  const std::string out = dir.file("out");
  EXPECT_EQ(RunAll(StdoutToFile(list, out)).exitCode, 0);
  EXPECT_EQ(fileContent(out), "second\n");
  EXPECT_EQ(RunAll(StdoutAppendToFile(list, out)).exitCode, 0);
  EXPECT_EQ(fileContent(out), "second\nsecond\n");
  EXPECT_EQ(ReadOutput(StdinFromFile(TExecList(command({"cat"})), out)), "second\nsecond\n");
  EXPECT_EQ(ReadOutput(StdinFromString(TExecList(command({"cat"})), "text")), "text");
  EXPECT_EQ(RunAll(WithRedirect(StdoutToFile(TExecList(sh("echo e >&2")), out), TRedirect(2, 1)))
                .exitCode,
            0);
  EXPECT_EQ(fileContent(out), "e\n");
  EXPECT_EQ(RunAll(WithRedirectToFile(TExecList(sh("echo r >&4")), TRedirectToFile(4, out, false)))
                .exitCode,
            0);
  EXPECT_EQ(fileContent(out), "r\n");
  for (const TExec& cmd : list) EXPECT_FALSE(cmd.prep);
  EXPECT_TRUE(StdoutToFile(TExecList(), out).empty());
  TExecList empty;
  empty.AddPrepToLast(TSharedPtr<TExec::TPrepare>(new TRedirect(2, 1)));
  EXPECT_TRUE(empty.empty());
}

TEST(RunAll, RunsInOrderAndReturnsTheLastResult) {
  ScratchDir dir;
  const std::string log = dir.file("log");
  const TRunResult result =
      RunAll(Sequence(sh("echo 1 >> '" + log + "'"), sh("echo 2 >> '" + log + "'; exit 9")));
  EXPECT_EQ(result.exitCode, 9);
  EXPECT_EQ(fileContent(log), "1\n2\n");
  const TRunResult none = RunAll(TExecList());
  EXPECT_EQ(none.pid, 0);
  EXPECT_EQ(none.exitCode, 0);
}

TEST(RunAll, ReapsTheEarlierStagesOfAPipeline) {
  ScratchDir dir;
  const TExecList list =
      StdoutToFile(Pipe(Pipe(command({"printf", "b\\na\\n"}), command({"sort"})), command({"cat"})),
                   dir.file("out"));
  EXPECT_EQ(RunAll(list).exitCode, 0);
  EXPECT_EQ(fileContent(dir.file("out")), "a\nb\n");
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(RunAll, RefusesAnEmptyArgumentVectorBeforeStartingAnything) {
  ScratchDir dir;
  const std::string marker = dir.file("marker");
  const TExecList list = Sequence(sh("touch '" + marker + "'"), TExec(EmptyArgs, kAll));
  EXPECT_THROW(RunAll(list), TEArgs::TEArgsError);
  EXPECT_THROW(ReadOutput(list), TEArgs::TEArgsError);
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

class Refusing : public TExec::TPrepare {
 public:
  explicit Refusing(bool inParent) : inParent_(inParent) {}
  void BeforeFork(const TExec&) override {
    if (!inParent_) throw std::runtime_error("refused before fork");
  }
  void InParent(const TExec&) override {
    if (inParent_) throw std::runtime_error("refused after fork");
  }

 private:
  bool inParent_;
};

TEST(RunAll, AHookRaisingInTheCallerEndsAndReapsWhatWasStarted) {
  const int descriptors = quill::test::openDescriptorCount();
  for (const bool inParent : {false, true}) {
    TExec refusing = command({"cat"});
    refusing.AddPrep(TSharedPtr<TExec::TPrepare>(new Refusing(inParent)));
    const TExecList list = Pipe(Pipe(command({"sleep", "30"}), refusing), command({"cat"}));
    EXPECT_THROW(ReadOutput(list), std::runtime_error);
    EXPECT_THROW(RunAll(list), std::runtime_error);
    EXPECT_THROW(refusing.Run(), std::runtime_error);
    TExec captured = command({"true"});
    captured.AddPrep(TSharedPtr<TExec::TPrepare>(new TReadOut));
    captured.AddPrep(TSharedPtr<TExec::TPrepare>(new Refusing(inParent)));
    EXPECT_THROW(captured.Run(), std::runtime_error);
    EXPECT_EQ(quill::test::childProcessCount(), 0);
    EXPECT_EQ(quill::test::openDescriptorCount(), descriptors);
  }
}

TEST(RunAll, AFirstCommandWithoutForkReplacesTheCaller) {
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    try {
      RunAll(Sequence(sh("exit 8").WithFlags(TExec::SearchPath), sh("exit 1")));
    } catch (...) {
    }
    _exit(99);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 8);
}

}  // namespace
}  // namespace quill::sys
