// Who, where and with what a program runs: each setting as a real program
// sees it, alone and in every stage of a pipeline, through both runners; the
// identity as root; the failures of settings; the start without a fork; the
// parent-death signal.
#include <quill/sys/execute.h>

#include "tests/support/sandbox.h"
#include "tests/sys/foreign_alloc.h"
#include "tests/sys/sys_test_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace quill::sys {
namespace {

using test::command;
using test::failureOf;
using test::ScratchDir;
using test::sh;
using ::testing::ThrowsMessage;

// Ids that no account of the machine uses.
constexpr uid_t kSiteUser = 64124;
constexpr gid_t kWebGroup = 64125;

// What a forked child of this process and the programs it runs write on
// its standard error, followed by what `body` returns there.
std::string stderrOfChild(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return "<no pipe>";
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 2);
    const std::string report = body();
    (void)!write(2, report.data(), report.size());
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(got));
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return text;
}

// The same settings on a command or on a list.
template <typename Commands>
Commands forTheSite(const Commands& commands, const std::string& dir) {
  return commands.WithEnv("HOME", "/root")
      .WithEmptyEnv()
      .WithEnv("PATH", "/usr/bin:/bin")
      .WithEnv("LANG", "C")
      .WithEnv("SITE", "old")
      .WithEnv("SITE", "example.org")
      .WithEnv("TMPDIR", "/tmp")
      .WithoutEnv("TMPDIR")
      .InDirectory(dir)
      .WithUmask(027)
      .WithLimit(RLIMIT_CORE, 65536, 131072)  // 128 and 256 blocks of 512 bytes
      .InNewSession();
}

// What a shell sees of them.
const std::string kReport =
    "env | sort; pwd; umask; ulimit -Sc; ulimit -Hc; set -- $(ps -o sid=,pgid= -p $$); "
    "[ \"$1\" = $$ ] && [ \"$2\" = $$ ] && echo leads a session";

TEST(ChildSettings, EachIsSeenByTheProgramAloneAndInEveryStageOfAPipeline) {
  ScratchDir dir;
  const std::string seen = "LANG=C\nPATH=/usr/bin:/bin\nPWD=" + dir.path() +
                           "\nSITE=example.org\n" + dir.path() +
                           "\n0027\n128\n256\nleads a session\n";
  const TExec alone = forTheSite(sh(kReport), dir.path());
  const TExecList stages =
      forTheSite(Pipe(Pipe(sh(kReport), sh("cat; " + kReport)), sh("cat; " + kReport)), dir.path());
  EXPECT_EQ(ReadOutput(alone), seen);
  EXPECT_EQ(Execute(alone).out, seen);
  EXPECT_EQ(ReadOutput(stages), seen + seen + seen);
  EXPECT_EQ(Execute(stages).out, seen + seen + seen);
  // Each stage keeps its own.
  EXPECT_EQ(ReadOutput(Pipe(sh("pwd").InDirectory("/"), sh("cat; pwd").InDirectory(dir.path()))),
            "/\n" + dir.path() + "\n");
}

TEST(ChildSettings, TheProgramIsLookedUpInTheCommandsOwnPath) {
  ScratchDir dir;
  test::writeFile(dir.file("site-tool"), "#!/bin/sh\necho found\n");
  chmod(dir.file("site-tool").c_str(), 0755);
  EXPECT_EQ(ReadOutput(command({"site-tool"}).WithEmptyEnv().WithEnv("PATH", "/no:" + dir.path())),
            "found\n");
}

class AsSiteUser : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run programs as another user";
  }
};

TEST_F(AsSiteUser, EveryIdChangesExactlyAndRootCannotBeTakenBack) {
  ScratchDir dir;
  chmod(dir.path().c_str(), 0755);
  const TExec ids = sh("grep -E '^(Uid|Gid|Groups|CapEff):' /proc/self/status; pwd; "
                       "python3 -c 'import os\ntry:\n os.setuid(0)\nexcept PermissionError:\n "
                       "print(\"refused\")'")
                        .AsUser(kSiteUser, kSiteUser, {kWebGroup})
                        .WithEnv("PATH", "/usr/bin:/bin")
                        .InDirectory(dir.path());
  const std::string seen =
      "Uid:\t64124\t64124\t64124\t64124\nGid:\t64124\t64124\t64124\t64124\n"
      "Groups:\t64125 \nCapEff:\t0000000000000000\n" +
      dir.path() + "\nrefused\n";
  EXPECT_EQ(ReadOutput(ids), seen);
  EXPECT_EQ(Execute(Pipe(command({"true"}), ids)).out, seen);
}

TEST_F(AsSiteUser, TheDirectoryIsEnteredWithTheUsersOwnRights) {
  // Root's alone: a link a site plants in its tree must not take its task
  // where the site's user could not go.
  ScratchDir dir;
  const TExec pwd = command({"pwd"}).InDirectory(dir.path());
  EXPECT_EQ(ReadOutput(pwd), dir.path() + "\n");
  const TOutcome refused = Execute(pwd.AsUser(kSiteUser, kSiteUser, {}));
  EXPECT_EQ(refused.stages.at(0).setupStep, "chdir " + dir.path());
  EXPECT_EQ(refused.stages.at(0).setupError, EACCES);
  EXPECT_EQ(
      stderrOfChild([&] { return failureOf(TExecList(pwd.AsUser(kSiteUser, kSiteUser, {}))); }),
      "pwd: chdir " + dir.path() + ": Permission denied\nchild failed (exit code=126): ");
}

TEST_F(AsSiteUser, AUserNameTakesItsIdsAndGroupsFromTheUserDatabase) {
  QUILL_REQUIRE_SANDBOX();
  quill::test::Sandbox sandbox("settings.test");
  ASSERT_TRUE(sandbox.ok()) << sandbox.error();
  quill::test::Sandbox::writeFile(
      "/etc/passwd",
      test::fileContent("/etc/passwd") + "site1:x:64124:64124::/srv/site1:/usr/sbin/nologin\n");
  quill::test::Sandbox::writeFile(
      "/etc/group", test::fileContent("/etc/group") + "site1:x:64124:\nweb:x:64125:site1\n");
  const std::string seen = "uid=64124(site1) gid=64124(site1) groups=64124(site1),64125(web)\n";
  EXPECT_EQ(ReadOutput(command({"id"}).AsUser("site1")), seen);
  EXPECT_EQ(ReadOutput(Pipe(command({"id"}), command({"cat"})).AsUser("site1")), seen);
}

TEST(ChildSettingFailure, AMissingDirectoryFailsThatChildAlone) {
  ScratchDir dir;
  const std::string missing = dir.file("gone");
  const TExec pwd = command({"pwd"}).InDirectory(missing);
  EXPECT_EQ(stderrOfChild([&] { return std::to_string(pwd.Run().exitCode); }),
            "pwd: chdir " + missing + ": No such file or directory\n126");
  const TOutcome outcome = Execute(Pipe(command({"true"}), pwd));
  EXPECT_EQ(outcome.stages[0].exitCode, 0);
  EXPECT_EQ(outcome.stages[1].setupError, ENOENT);
  EXPECT_EQ(outcome.stages[1].setupStep, "chdir " + missing);
}

TEST(ChildSettingFailure, AnUnknownUserIsReportedBeforeAnythingStarts) {
  const auto unknown = ThrowsMessage<std::runtime_error>("AsUser: no such user: quill-nobody");
  EXPECT_THAT([] { command({"true"}).AsUser("quill-nobody"); }, unknown);
  EXPECT_THAT([] { TExecList{command({"true"})}.AsUser("quill-nobody"); }, unknown);
}

TEST(ChildSettingFailure, ALimitAboveTheHardLimitAndRefusedGroupsFailThatChild) {
  // As a user without privileges, whose core-file hard limit is 0.
  const std::string seen = stderrOfChild([] {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(kSiteUser) != 0 || setuid(kSiteUser) != 0))
      return std::string("cannot become an unprivileged user");
    const rlimit none = {0, 0};
    setrlimit(RLIMIT_CORE, &none);
    std::string report;
    for (const TExec& failing : {command({"true"}).WithLimit(RLIMIT_CORE, 1024, 1024),
                                 command({"true"}).AsUser(getuid(), getgid(), {kWebGroup})}) {
      const TStage stage = Execute(failing).stages[0];
      report += std::to_string(failing.Run().exitCode) + " " + std::to_string(stage.setupError) +
                " " + stage.setupStep + "\n";
    }
    return report;
  });
  EXPECT_EQ(seen,
            "true: setrlimit RLIMIT_CORE: Operation not permitted\n"
            "true: setgroups: Operation not permitted\n"
            "126 1 setrlimit RLIMIT_CORE\n"
            "126 1 setgroups\n");
}

int forks = 0;

TEST(ChildSettings, ACommandWithEverySettingStartsWithoutAForkAndAllocatesNothing) {
  static const bool registered = pthread_atfork([] { ++forks; }, nullptr, nullptr) == 0;
  ASSERT_TRUE(registered);
  ScratchDir dir;
  chmod(dir.path().c_str(), 0755);  // entered as the site's user
  // A new session already leads a process group of its own.
  TExec all = forTheSite(sh("echo $SITE; pwd"), dir.path())
                  .WithLimit(RLIMIT_NPROC, 100, 100)
                  .InNewProcessGroup()
                  .WithParentDeathSignal(SIGTERM);
  if (geteuid() == 0) all = all.AsUser(kSiteUser, kSiteUser, {kWebGroup});
  std::string out;
  int status = -1;
  const int before = forks;
  test::watchForeignAllocations(getpid());
  RunAndRead(out, status, TExecList(all));
  const int allocations = test::foreignAllocations();
  test::watchForeignAllocations(0);
  EXPECT_EQ(forks, before);
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(out, "example.org\n" + dir.path() + "\n");
  EXPECT_EQ(status, 0);
}

TEST(ParentDeathSignal, ReachesTheProgramWhenTheThreadThatStartedItEnds) {
  TRunResult started{-1, 0};
  std::thread([&] {
    started = command({"sleep", "60"}, TExec::Fork | TExec::SearchPath)
                  .WithParentDeathSignal(SIGTERM)
                  .Run();
  }).join();
  const int status = WaitChild(started.pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
}

TEST(ParentDeathSignal, AProgramThatReplacesItsCallerRuns) {
  const pid_t pid = fork();
  if (pid == 0) {
    try {
      sh("exit 7").WithFlags(TExec::SearchPath).WithParentDeathSignal(SIGTERM).Run();
    } catch (...) {
    }
    _exit(1);
  }
  EXPECT_EQ(WaitChild(pid), 7 << 8);
}

}  // namespace
}  // namespace quill::sys
