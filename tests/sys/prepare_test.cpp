#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/prepare.h>

#include "tests/support/proc_count.h"
#include "tests/sys/sys_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <cerrno>
#include <set>
#include <stdexcept>

namespace quill::sys {
namespace {

using test::command;
using test::failureOf;
using test::fileContent;
using test::ScratchDir;
using test::sh;
using test::writeFile;

TEST(FromFile, FeedsTheFileAndTheLastAddedFileWins) {
  ScratchDir dir;
  writeFile(dir.file("a"), "from a\n");
  writeFile(dir.file("b"), "from b\n");
  const TExec cat = command({"cat"});
  EXPECT_EQ(ReadOutput(cat.StdinFromFile(dir.file("a"))), "from a\n");
  EXPECT_EQ(ReadOutput(cat.StdinFromFile(dir.file("a")).StdinFromFile(dir.file("b"))), "from b\n");
}

TEST(FromFile, AMissingFileFailsTheChildInsteadOfRunningItWithoutInput) {
  ScratchDir dir;
  const TExec cat = command({"sh", "-c", "echo ran; cat"})
                        .StdinFromFile(dir.file("missing"))
                        .WithRedirect(TRedirect(2, 1));
  EXPECT_EQ(failureOf(TExecList(cat)), "child failed (exit code=126): ");
  const TExec withError = command({"cat"})
                              .WithRedirectToFile(TRedirectToFile(2, dir.file("err"), false))
                              .StdinFromFile(dir.file("missing"));
  EXPECT_EQ(withError.Run().exitCode, 126);
  EXPECT_EQ(fileContent(dir.file("err")),
            "cat: " + dir.file("missing") + ": open failed: No such file or directory\n");
}

TEST(ToFile, TruncatesOrAppendsAndCreatesWithMode0664LessTheUmask) {
  ScratchDir dir;
  const std::string out = dir.file("out");
  writeFile(out, "old content that is longer\n");
  EXPECT_EQ(sh("echo new").StdoutToFile(out).Run().exitCode, 0);
  EXPECT_EQ(fileContent(out), "new\n");
  EXPECT_EQ(sh("echo more").StdoutAppendToFile(out).Run().exitCode, 0);
  EXPECT_EQ(fileContent(out), "new\nmore\n");

  const mode_t previous = umask(027);
  EXPECT_EQ(sh("echo x").StdoutToFile(dir.file("created")).Run().exitCode, 0);
  umask(previous);
  struct stat info = {};
  ASSERT_EQ(stat(dir.file("created").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(ToFile, AnUnopenableFileFailsTheChildBeforeTheProgramRuns) {
  ScratchDir dir;
  const std::string marker = dir.file("marker");
  const TExec cmd =
      sh("touch '" + marker + "'; echo out").StdoutToFile(dir.file("no/such/dir/out"));
  EXPECT_EQ(cmd.Run().exitCode, 126);
  EXPECT_EQ(fileContent(marker), "");
  EXPECT_NE(access(marker.c_str(), F_OK), 0);
}

TEST(Redirect, MakesOneDescriptorACopyOfAnother) {
  ScratchDir dir;
  // In the order added: standard output to the file, then errors after it.
  const TExec both =
      sh("echo out; echo err >&2").StdoutToFile(dir.file("f")).WithRedirect(TRedirect(2, 1));
  EXPECT_EQ(both.Run().exitCode, 0);
  EXPECT_EQ(fileContent(dir.file("f")), "out\nerr\n");
  // Added before the capture, the copy still refers to the old output.
  const TExec before = sh("echo err >&2")
                           .WithRedirectToFile(TRedirectToFile(3, dir.file("g"), false))
                           .WithRedirect(TRedirect(2, 3));
  EXPECT_EQ(ReadOutput(before), "");
  EXPECT_EQ(fileContent(dir.file("g")), "err\n");
  // A descriptor redirected onto itself stays as it is.
  EXPECT_EQ(ReadOutput(sh("echo same").WithRedirect(TRedirect(1, 1))), "same\n");
}

TEST(Redirect, ASourceThatIsNotOpenFailsTheChild) {
  EXPECT_EQ(sh("echo ran").WithRedirect(TRedirect(1, 987)).Run().exitCode, 126);
}

TEST(RedirectToFile, SendsAnyDescriptorToAFile) {
  ScratchDir dir;
  const std::string file = dir.file("fd3");
  EXPECT_EQ(sh("echo three >&3").WithRedirectToFile(TRedirectToFile(3, file, false)).Run().exitCode,
            0);
  EXPECT_EQ(sh("echo again >&3").WithRedirectToFile(TRedirectToFile(3, file, true)).Run().exitCode,
            0);
  EXPECT_EQ(fileContent(file), "three\nagain\n");
  EXPECT_EQ(sh("echo over >&3").WithRedirectToFile(TRedirectToFile(3, file, false)).Run().exitCode,
            0);
  EXPECT_EQ(fileContent(file), "over\n");
}

TEST(ReadFromStr, FeedsTheTextThenEndOfFile) {
  EXPECT_EQ(ReadOutput(command({"cat"}).StdinFromString("some\ntext")), "some\ntext");
  EXPECT_EQ(ReadOutput(command({"wc", "-c"}).StdinFromString("")), "0\n");
  const std::string binary("a\0b\xff", 4);
  EXPECT_EQ(ReadOutput(command({"cat"}).StdinFromString(binary)), binary);
}

TEST(ReadFromStr, AProgramThatStopsReadingDoesNotHangTheRun) {
  const std::string big(4 << 20, 'x');
  EXPECT_EQ(ReadOutput(command({"head", "-c", "3"}).StdinFromString(big)), "xxx");
  EXPECT_EQ(ReadOutput(command({"true"}).StdinFromString(big)), "");
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

// What `ls /proc/self/fd` prints in a child that inherits 0 to 2, the
// descriptors this process holds open across exec, and nothing else (plus
// the one ls lists with, the lowest free).
std::string expectedListing() {
  std::set<std::string> names = {"0", "1", "2"};
  for (int fd = 3; fd < 1024; ++fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags != -1 && (flags & FD_CLOEXEC) == 0) names.insert(std::to_string(fd));
  }
  const int lowestFree = dup(0);
  close(lowestFree);
  names.insert(std::to_string(lowestFree));
  std::string listing;
  for (const std::string& name : names) listing += name + "\n";
  return listing;
}

TEST(CloseOnExec, ChildrenInheritOnlyTheDescriptorsSetUpForThem) {
  const TExec ls = command({"env", "LC_ALL=C", "ls", "/proc/self/fd"});
  const std::string expected = expectedListing();
  EXPECT_EQ(ReadOutput(ls), expected);
  EXPECT_EQ(ReadOutput(Pipe(Pipe(command({"printf", "x"}), ls), command({"cat"}))), expected);
  EXPECT_EQ(ReadOutput(ls.StdinFromString(std::string(1 << 20, 'y'))), expected);
}

int lowestFreeDescriptor() {
  const int fd = dup(0);
  close(fd);
  return fd;
}

TEST(ReadOut, AFailingPipeRaisesBeforeAnyProcessIsCreated) {
  rlimit saved = {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int open = quill::test::openDescriptorCount();
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowestFreeDescriptor());  // no new descriptor fits
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  int raised = 0;
  try {
    TExec cmd = command({"true"});
    cmd.AddPrep(TSharedPtr<TExec::TPrepare>(new TReadOut));
    cmd.Run();
  } catch (const TSysCallErr& error) {
    raised = error.errorNumber;
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(raised, EMFILE);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
  EXPECT_EQ(quill::test::openDescriptorCount(), open);
}

TEST(ReadOut, APipeFailingHalfWayEndsWhatWasStartedAndClosesItsPipes) {
  rlimit saved = {};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  const int open = quill::test::openDescriptorCount();
  rlimit tight = saved;
  // The first pipe fits, the capture does not.
  tight.rlim_cur = static_cast<rlim_t>(lowestFreeDescriptor() + 2);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  int raised = 0;
  try {
    ReadOutput(Pipe(command({"sleep", "5"}), command({"cat"})));
  } catch (const TSysCallErr& error) {
    raised = error.errorNumber;
  }
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(raised, EMFILE);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
  EXPECT_EQ(quill::test::openDescriptorCount(), open);
}

TEST(UnionPrep, WithBothSidesEmptyDoesNothingAndAnswersTrue) {
  TUnionPrep both((TSharedPtr<TExec::TPrepare>()), TSharedPtr<TExec::TPrepare>());
  const TExec cmd = command({"true"});
  both.BeforeFork(cmd);
  both.InParent(cmd);
  both.BeforeExec(cmd);
  EXPECT_TRUE(both.OnForkError(cmd));
  EXPECT_TRUE(both.OnExecError(cmd));
  EXPECT_EQ(ReadOutput(sh("echo fine")
                           .WithPrep(TSharedPtr<TExec::TPrepare>(new TUnionPrep(
                               TSharedPtr<TExec::TPrepare>(), TSharedPtr<TExec::TPrepare>())))),
            "fine\n");
}

}  // namespace
}  // namespace quill::sys
