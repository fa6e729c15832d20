// Confining commands: the cgroup a child starts in, privileges that cannot
// come back, and what each command used. The cgroups are real, made by each
// test under the machine's cgroup v2 mount and removed after it (as root;
// the tests skip, with the reason, where that cannot be).
#include <quill/sys/execute.h>

#include "tests/support/cgroup.h"
#include "tests/support/in_child.h"
#include "tests/support/syscall_filter.h"
#include "tests/sys/foreign_alloc.h"
#include "tests/sys/sys_test_util.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

namespace quill::sys {
namespace {

using quill::test::TestCgroup;
using test::command;
using test::fileContent;
using test::ScratchDir;
using test::sh;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

// Ids that no account of the machine uses.
constexpr uid_t kSiteUser = 64124;

// Prints "inside" when the shell's own process is in the cgroup `dir`.
TExec reportsWhetherInside(const std::string& dir) {
  return sh("grep -qx $$ " + dir + "/cgroup.procs && echo inside || cat /proc/self/cgroup");
}

// What the child of the classic runner writes on its standard error, then
// its exit code.
std::string classicRun(const TExec& cmd) {
  return quill::test::inChild([&] {
    dup2(quill::test::inChildReportDescriptor(), 2);
    return std::to_string(cmd.Run().exitCode);
  });
}

class InCgroup : public ::testing::Test {
 protected:
  void SetUp() override { QUILL_REQUIRE_CGROUP(cgroup_); }
  TestCgroup cgroup_;
};

TEST_F(InCgroup, TheProgramIsInsideFromItsStartWhicheverWayTheChildStarts) {
  const TExec inside = reportsWhetherInside(cgroup_.path()).InCgroup(cgroup_.path());
  TExec forked = inside;
  forked.AddPrep(TSharedPtr<TExec::TPrepare>(new TExec::TPrepare));  // a full fork
  EXPECT_EQ(ReadOutput(inside), "inside\n");
  EXPECT_EQ(ReadOutput(forked), "inside\n");
  EXPECT_EQ(Execute(inside).out, "inside\n");
  // Where the kernel has no clone3, the child joins first thing.
  EXPECT_EQ(quill::test::inChild([&] {
              quill::test::refuseSyscall({SYS_clone3, ENOSYS});
              return ReadOutput(inside);
            }),
            "inside\n");
}

TEST(InCgroupFailure, AMissingDirectoryOrOneThatIsNoCgroupFailsThatCommand) {
  ScratchDir dir;
  for (const auto& [path, error] :
       {std::pair{dir.file("gone"), ENOENT}, std::pair{dir.path(), EMEDIUMTYPE}}) {
    const TExec pwd = command({"pwd"}).InCgroup(path);
    EXPECT_EQ(classicRun(pwd), "pwd: cgroup " + path + ": " + std::strerror(error) + "\n126");
    const TOutcome outcome = Execute(Pipe(command({"true"}), pwd));
    EXPECT_EQ(outcome.stages[0].exitCode, 0);
    EXPECT_EQ(outcome.stages[1].setupStep, "cgroup " + path);
    EXPECT_EQ(outcome.stages[1].setupError, error);
  }
}

class Privileges : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run programs as another user";
  }
};

TEST_F(Privileges, ASetUserIdRootProgramGivesNoRootBackWithoutNewPrivileges) {
  ScratchDir dir;
  chmod(dir.path().c_str(), 0755);
  const std::string id = dir.file("id");
  test::writeFile(id, fileContent("/usr/bin/id"));
  ASSERT_EQ(chown(id.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(id.c_str(), 04755), 0);
  const TExec asSite = command({id}).AsUser(kSiteUser, kSiteUser, {});
  const std::string raised = ReadOutput(asSite);
  if (raised.find("euid=0") == std::string::npos)
    GTEST_SKIP() << "set-user-id bits raise nothing in " << dir.path() << ": " << raised;
  const std::string site = "uid=64124 gid=64124 groups=64124\n";
  EXPECT_EQ(ReadOutput(asSite.WithNoNewPrivileges()), site);
  EXPECT_EQ(Execute(asSite.WithNoNewPrivileges().WithoutCapabilities()).out, site);
}

TEST_F(Privileges, WithoutCapabilitiesEverySetIsEmptyForRootAndForASiteUser) {
  const TExec sets = command({"grep", "-E", "^(Uid|Cap)", "/proc/self/status"});
  const std::string none =
      "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n"
      "CapBnd:\t0000000000000000\nCapAmb:\t0000000000000000\n";
  ASSERT_THAT(ReadOutput(sets), HasSubstr("CapBnd:\t000001"));  // root's, to begin with
  EXPECT_EQ(ReadOutput(sets.WithoutCapabilities()), "Uid:\t0\t0\t0\t0\n" + none);
  EXPECT_EQ(Execute(sets.WithoutCapabilities().AsUser(kSiteUser, kSiteUser, {})).out,
            "Uid:\t64124\t64124\t64124\t64124\n" + none);
}

TEST(PrivilegeFailure, EachFailsThatCommandAndIsNamed) {
  // Emptying the bounding set takes a privilege an ordinary user lacks.
  EXPECT_EQ(quill::test::inChild([] {
              if (geteuid() == 0 &&
                  (setgroups(0, nullptr) != 0 || setgid(kSiteUser) != 0 || setuid(kSiteUser) != 0))
                return std::string("cannot become an ordinary user");
              const TExec drop = command({"true"}).WithoutCapabilities();
              const TStage stage = Execute(drop).stages[0];
              return classicRun(drop) + " " + stage.setupStep + ": " +
                     std::strerror(stage.setupError);
            }),
            "true: drop capabilities: Operation not permitted\n126 drop capabilities: "
            "Operation not permitted");
  EXPECT_EQ(quill::test::inChild([] {
              quill::test::refuseSyscall({SYS_prctl, EPERM, 0, PR_SET_NO_NEW_PRIVS});
              const TExec forbid = command({"true"}).WithNoNewPrivileges();
              return classicRun(forbid) + " " + Execute(forbid).stages[0].setupStep;
            }),
            "true: prctl PR_SET_NO_NEW_PRIVS: Operation not permitted\n126 prctl "
            "PR_SET_NO_NEW_PRIVS");
}

int forks = 0;

TEST_F(InCgroup, AConfinedCommandStartsWithoutAForkAndAllocatesNothing) {
  static const bool registered = pthread_atfork([] { ++forks; }, nullptr, nullptr) == 0;
  ASSERT_TRUE(registered);
  ScratchDir dir;
  chmod(dir.path().c_str(), 0755);
  const TExec confined = sh("pwd")
                             .InDirectory(dir.path())
                             .AsUser(kSiteUser, kSiteUser, {})
                             .WithNoNewPrivileges()
                             .WithoutCapabilities();
  std::string out;
  int status = -1;
  const int before = forks;
  test::watchForeignAllocations(getpid());
  RunAndRead(out, status, TExecList(confined.InCgroup(cgroup_.path())));
  const TOutcome outcome = Execute(confined.InCgroup(cgroup_.path()));
  const int allocations = test::foreignAllocations();
  test::watchForeignAllocations(0);
  EXPECT_EQ(forks, before);
  EXPECT_EQ(allocations, 0);
  EXPECT_EQ(out, dir.path() + "\n");
  EXPECT_EQ(status, 0);
  EXPECT_EQ(outcome.out, dir.path() + "\n");
}

TEST_F(InCgroup, AChildTheKernelStartsInsideHasNothingToJoin) {
  if (syscall(SYS_clone3, nullptr, 0) == -1 && errno == ENOSYS)
    GTEST_SKIP() << "no clone3 here (an emulator or a sandbox refuses it)";
  // Joining would open cgroup.procs this way, which fails here.
  const long joinFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC;
  const TExec inside = reportsWhetherInside(cgroup_.path()).InCgroup(cgroup_.path());
  EXPECT_EQ(quill::test::inChild([&] {
              quill::test::refuseSyscall({SYS_openat, EPERM, 2, joinFlags});
              return ReadOutput(inside) + Execute(inside).out;
            }),
            "inside\ninside\n");
}

// Programs that burn a quarter of a second of CPU time, and touch 100 MiB.
const char* const kBurn =
    "import time\nt = time.process_time()\nwhile time.process_time() - t < 0.25: pass";
const char* const kTouch = "b = b'x' * (100 << 20)";

TExec python(const char* program) {
  return command({"python3", "-c", program});
}

TEST(StageUsage, ComesFromEachReapedChild) {
  const TOutcome outcome = Execute(TExecList{python(kBurn), python(kTouch)});
  ASSERT_TRUE(outcome.Ok()) << outcome.Describe() << outcome.err;
  const TUsage& burnt = outcome.stages[0].usage;
  EXPECT_TRUE(burnt.known);
  EXPECT_GE(burnt.userCpu + burnt.systemCpu, 200ms);
  EXPECT_GE(outcome.stages[1].usage.maxRss, std::uint64_t{100} << 20);
  EXPECT_FALSE(outcome.usage.known);  // no cgroup of its own
}

}  // namespace
}  // namespace quill::sys
