// The examples of the README's "Running commands", kept compiling and correct. Each
// test body below is the example as printed there.
#include <quill/sys/args.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>

#include "tests/sys/sys_test_util.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace quill::sys;

TEST(Examples, RunningACommand) {
  const ::quill::sys::test::ScratchDir scratch;
  const std::string dir = scratch.file("a/b");

  TEArgs args(EmptyArgs);
  args.Add("mkdir");
  args.Add("-p");
  args.Add(dir);
  const TExec mkdir(args, TExec::Fork | TExec::Wait | TExec::SearchPath);
  const TRunResult result = mkdir.Run();  // forks, execs, waits
  // result.exitCode: the program's exit code, -1 if a signal ended it

  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(access(dir.c_str(), F_OK), 0);
}

TEST(Examples, APipelineWithCapturedOutput) {
  auto cmd = [](std::initializer_list<std::string> words) {
    TEArgs args(EmptyArgs);
    for (const std::string& word : words) args.Add(word);
    return TExec(args, TExec::Fork | TExec::Wait | TExec::SearchPath);
  };
  // printf 'b\na\nb\n' | sort | uniq -c
  const TExecList pipeline =
      Pipe(Pipe(cmd({"printf", "b\\na\\nb\\n"}), cmd({"sort"})), cmd({"uniq", "-c"}));
  const std::string counts = ReadOutput(pipeline);  // std::runtime_error if the last stage fails

  EXPECT_EQ(counts, "      1 a\n      2 b\n");
}

TEST(Examples, StandardInputFromAString) {
  TEArgs args(EmptyArgs);
  args.Add("wc");
  args.Add("-l");
  const TExec wc(args, TExec::Fork | TExec::Wait | TExec::SearchPath);
  const std::string lines = ReadOutput(wc.StdinFromString("one\ntwo\nthree\n"));

  EXPECT_EQ(lines, "3\n");
}

TEST(Examples, OutputToAFile) {
  const ::quill::sys::test::ScratchDir scratch;
  const std::string path = scratch.file("greeting.txt");

  TEArgs args(EmptyArgs);
  args.Add("echo");
  args.Add("written by the child");
  const TExec echo(args, TExec::Fork | TExec::Wait | TExec::SearchPath);
  echo.StdoutToFile(path).Run();        // created or truncated, mode 0664 less umask
  echo.StdoutAppendToFile(path).Run();  // appended

  EXPECT_EQ(::quill::sys::test::fileContent(path), "written by the child\nwritten by the child\n");
}

}  // namespace
