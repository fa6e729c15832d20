// The child's plan at the level of its data, apart from any runner: each
// step kind replayed on real descriptors, each place a set-up can fail
// rendered as the user sees it, and the report a child sends back.
#include <quill/sys/detail/failure.h>
#include <quill/sys/detail/launch.h>
#include <quill/sys/detail/plan.h>

#include "tests/support/in_child.h"
#include "tests/support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace quill::sys::detail {
namespace {

using quill::test::inChild;
using quill::test::ScratchDir;

// What descriptor `fd` reads, to its end.
std::string readAll(int fd) {
  std::string text;
  char buffer[65536];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(got));
  return text;
}

// Runs `steps` in a forked child; what `check` then finds, or where they
// stopped.
std::string replayed(const std::vector<Step>& steps, const std::function<std::string()>& check) {
  return inChild([&]() -> std::string {
    SetupFailure failure;
    if (!runSteps(steps.data(), steps.size(), failure))
      return "step " + std::to_string(failure.index) + ": " + std::strerror(failure.error);
    return check();
  });
}

TEST(PlanSteps, EachKindSetsUpItsDescriptor) {
  // Descriptors far above those of the test program and its report pipe.
  ScratchDir dir;
  const std::string file = dir.file("f");
  using Kind = Step::Kind;
  // Open, then write through the descriptor it lands on.
  EXPECT_EQ(replayed({{Kind::kOpen, 47, -1, O_WRONLY | O_CREAT | O_TRUNC, file.c_str(), 0}},
                     [&] { return std::to_string(write(47, "abc", 3)); }),
            "3");
  EXPECT_EQ(
      replayed({{Kind::kOpen, 46, -1, O_RDONLY, file.c_str(), 0}}, [] { return readAll(46); }),
      "abc");
  // A copy keeps the source; a move closes it; a close closes.
  EXPECT_EQ(replayed({{Kind::kOpen, 46, -1, O_RDONLY, file.c_str(), 0},
                      {Kind::kCopy, 48, 46, 0, nullptr, 0}},
                     [] { return readAll(48) + "|" + std::to_string(fcntl(46, F_GETFD)); }),
            "abc|0");
  EXPECT_EQ(replayed({{Kind::kOpen, 46, -1, O_RDONLY, file.c_str(), 0},
                      {Kind::kMove, 49, 46, 0, nullptr, 0}},
                     [] { return readAll(49) + "|" + std::to_string(fcntl(46, F_GETFD)); }),
            "abc|-1");
  EXPECT_EQ(replayed({{Kind::kOpen, 46, -1, O_RDONLY, file.c_str(), 0},
                      {Kind::kClose, 46, -1, 0, nullptr, 0}},
                     [] { return std::to_string(fcntl(46, F_GETFD)); }),
            "-1");
  // A text, short (a pipe) and longer than a pipe's default size.
  for (const std::size_t size : {std::size_t{5}, std::size_t{300000}}) {
    const std::string text(size, 't');
    EXPECT_EQ(replayed({{Kind::kText, 45, -1, 0, text.data(), text.size()}},
                       [] { return std::to_string(readAll(45).size()); }),
              std::to_string(size));
  }
  // A failure names the step that failed.
  EXPECT_EQ(replayed({{Kind::kCopy, 48, 999, 0, nullptr, 0}}, [] { return std::string("ran"); }),
            "step 0: Bad file descriptor");
}

// A plan with one of everything, for the words of its failures.
struct Sample {
  Limit limits[2] = {{RLIMIT_NOFILE, 1, 1}, {99, 1, 1}};
  Step steps[5] = {{Step::Kind::kOpen, 1, -1, 0, "/x", 0},
                   {Step::Kind::kCopy, 2, 5, 0, nullptr, 0},
                   {Step::Kind::kClose, 4, -1, 0, nullptr, 0},
                   {Step::Kind::kText, 0, -1, 0, "t", 1},
                   {Step::Kind::kHook, -1, 0, 0, nullptr, 0}};
  char program[5] = "prog";
  char* argv[2] = {program, nullptr};
  ChildPlan plan;
  Sample() {
    plan.settings.directory = "/srv";
    plan.settings.limits = limits;
    plan.settings.limitCount = 2;
    plan.settings.gid = 5;
    plan.settings.uid = 7;
    plan.settings.deathSignal = 15;
    plan.steps = steps;
    plan.stepCount = 5;
    plan.argv = argv;
  }
  std::string step(SetupFailure::Where where, std::uint32_t index = 0) const {
    LineBuffer line;
    describeStep(plan, {where, index, EPERM}, line);
    return line.text();
  }
  std::string line(SetupFailure::Where where, std::uint32_t index, int error,
                   const char* message = nullptr) const {
    LineBuffer text;
    describeFailureLine(plan, {where, index, error}, message, text);
    return text.text();
  }
};

TEST(PlanFailures, EachPlaceIsNamedWithItsOperand) {
  using Where = SetupFailure::Where;
  const Sample sample;
  EXPECT_EQ(sample.step(Where::kDirectory), "chdir /srv");
  EXPECT_EQ(sample.step(Where::kLimit, 0), "setrlimit RLIMIT_NOFILE");
  EXPECT_EQ(sample.step(Where::kLimit, 1), "setrlimit 99");
  EXPECT_EQ(sample.step(Where::kSession), "setsid");
  EXPECT_EQ(sample.step(Where::kProcessGroup), "setpgid 0 0");
  EXPECT_EQ(sample.step(Where::kGroups), "setgroups");
  EXPECT_EQ(sample.step(Where::kGid), "setgid 5");
  EXPECT_EQ(sample.step(Where::kUid), "setuid 7");
  EXPECT_EQ(sample.step(Where::kDeathSignal), "prctl PR_SET_PDEATHSIG 15");
  EXPECT_EQ(sample.step(Where::kStep, 0), "open /x onto 1");
  EXPECT_EQ(sample.step(Where::kStep, 1), "dup 5 onto 2");
  EXPECT_EQ(sample.step(Where::kStep, 2), "close 4");
  EXPECT_EQ(sample.step(Where::kStep, 3), "text onto 0");
  EXPECT_EQ(sample.step(Where::kStep, 4), "preparation");
  EXPECT_EQ(sample.step(Where::kPreparation), "preparation");
  EXPECT_EQ(sample.step(Where::kExec), "exec prog");
}

TEST(PlanFailures, TheClassicLineAndExitCodeComeFromTheSameRecord) {
  using Where = SetupFailure::Where;
  const Sample sample;
  EXPECT_EQ(sample.line(Where::kStep, 0, ENOENT),
            "prog: /x: open failed: No such file or directory");
  EXPECT_EQ(sample.line(Where::kStep, 1, EBADF), "prog: Bad file descriptor");
  EXPECT_EQ(sample.line(Where::kDirectory, 0, EACCES), "prog: chdir /srv: Permission denied");
  EXPECT_EQ(sample.line(Where::kExec, 0, ENOENT), "prog: No such file or directory");
  EXPECT_EQ(sample.line(Where::kPreparation, 0, ECANCELED, "a hook said no"),
            "prog: a hook said no");
  EXPECT_EQ(failureExitCode({Where::kExec, 0, ENOENT}), 127);
  EXPECT_EQ(failureExitCode({Where::kExec, 0, EACCES}), 126);
  EXPECT_EQ(failureExitCode({Where::kStep, 0, ENOENT}), 126);
}

TEST(PlanReport, ProgressRecordsThenTheFailureAndAHooksText) {
  using Where = SetupFailure::Where;
  auto record = [](Where where, std::uint32_t index, int error) {
    const SetupFailure failure = {where, index, error};
    return std::string(reinterpret_cast<const char*>(&failure), sizeof failure);
  };
  SetupFailure failure;
  std::string message;
  // Got as far as an open, and no further: not a failure of its own.
  EXPECT_FALSE(
      parseReport(record(Where::kDirectory, 0, 0) + record(Where::kStep, 2, 0), failure, message));
  EXPECT_EQ(failure.where, Where::kStep);
  EXPECT_EQ(failure.index, 2u);
  EXPECT_TRUE(parseReport(record(Where::kStep, 2, 0) + record(Where::kPreparation, 0, EIO) + "text",
                          failure, message));
  EXPECT_EQ(failure.where, Where::kPreparation);
  EXPECT_EQ(failure.error, EIO);
  EXPECT_EQ(message, "text");
  EXPECT_FALSE(parseReport("", failure, message));
  EXPECT_EQ(failure.where, Where::kNone);
}

}  // namespace
}  // namespace quill::sys::detail
