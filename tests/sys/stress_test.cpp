#include <quill/sys/exec_list.h>

#include "tests/support/proc_count.h"
#include "tests/sys/sys_test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace quill::sys {
namespace {

using test::command;
using test::ScratchDir;
using test::sh;

constexpr std::size_t k16MiB = 16u << 20;

TExecList threeStages() {
  return Pipe(Pipe(command({"head", "-c", std::to_string(k16MiB), "/dev/zero"}),
                   command({"tr", "\\000", "z"})),
              command({"cat"}));
}

TEST(Stress, SixteenMebibytesThroughThreeStagesByReadOutput) {
  const std::string out = ReadOutput(threeStages());
  ASSERT_EQ(out.size(), k16MiB);
  EXPECT_EQ(out.find_first_not_of('z'), std::string::npos);
}

TEST(Stress, SixteenMebibytesThroughThreeStagesByRunAllOnTheirOwnFlags) {
  ScratchDir dir;
  const TRunResult result = RunAll(StdoutToFile(threeStages(), dir.file("out")));
  EXPECT_EQ(result.exitCode, 0);
  struct stat info = {};
  ASSERT_EQ(stat(dir.file("out").c_str(), &info), 0);
  EXPECT_EQ(static_cast<std::size_t>(info.st_size), k16MiB);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(Stress, AMebibyteOfStandardInputFromAString) {
  std::string text;
  text.reserve(1u << 20);
  for (std::size_t i = 0; text.size() < (1u << 20); ++i) text += std::to_string(i) + "\n";
  text.resize(1u << 20);
  EXPECT_EQ(ReadOutput(command({"cat"}).StdinFromString(text)), text);
  EXPECT_EQ(ReadOutput(Pipe(command({"cat"}).StdinFromString(text), command({"wc", "-c"}))),
            "1048576\n");
}

TEST(Stress, FiveHundredRunsLeakNoDescriptorAndNoProcess) {
  const int descriptors = quill::test::openDescriptorCount();
  const int children = quill::test::childProcessCount();
  const TExecList pipeline = Pipe(command({"echo", "x"}), command({"cat"}));
  const TExec fromString = command({"cat"}).StdinFromString(std::string(100000, 's'));
  const TExec missing =
      command({"quill-no-such-program"}).WithRedirectToFile(TRedirectToFile(2, "/dev/null", false));
  for (int i = 0; i < 500; ++i) {
    switch (i % 4) {
      case 0: ASSERT_EQ(ReadOutput(command({"echo", "run"})), "run\n"); break;
      case 1: ASSERT_EQ(ReadOutput(pipeline), "x\n"); break;
      case 2: ASSERT_EQ(ReadOutput(fromString).size(), 100000u); break;
      case 3: ASSERT_THROW(ReadOutput(missing), std::runtime_error);
    }
  }
  EXPECT_EQ(quill::test::openDescriptorCount(), descriptors);
  EXPECT_EQ(quill::test::childProcessCount(), children);
}

}  // namespace
}  // namespace quill::sys
