// Confining commands: the cgroup a child starts in, a run's own leaf cgroup
// with its limits and its end, the kill scope that reaches everything in
// the leaf, what a run used, and privileges that cannot come back. The
// cgroups are real, made by each test under the machine's cgroup v2 mount
// and removed after it (as root; the tests skip, with the reason, where
// that cannot be).
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
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
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
using ::testing::ThrowsMessage;
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

// The run's options with a leaf under `cgroup`.
TRunOptions inLeafOf(const TestCgroup& cgroup, TKillScope scope = TKillScope::ProcessGroup) {
  TRunOptions options;
  options.cgroup = cgroup.path();
  options.killScope = scope;
  options.timeout = 30s;  // the tests never wait for it
  return options;
}

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
  const TOutcome outcome = Execute(confined, inLeafOf(cgroup_, TKillScope::Cgroup));
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

// Starts a daemon as a site's command would: out of the command's session,
// by a double fork, with every descriptor closed once it has printed its
// process id (through `head`, which ends there).
const char* const kDaemonize =
    "(setsid sh -c 'echo $$; exec sleep 1000 <&- >&- 2>&-' &) | head -n 1";

pid_t pidIn(const std::string& out) {
  return static_cast<pid_t>(std::atoi(out.c_str()));
}

using RunLeaf = InCgroup;

TEST_F(RunLeaf, EveryCommandStartsInOneFreshLeafThatIsRemovedAfterTheRun) {
  const TExec where = command({"grep", "^0::", "/proc/self/cgroup"});
  const TOutcome first =
      Execute(Pipe(where, sh("cat; grep ^0:: /proc/self/cgroup")), inLeafOf(cgroup_));
  const TOutcome second = Execute(where, inLeafOf(cgroup_));
  const std::string leaf = first.out.substr(0, first.out.find('\n') + 1);
  EXPECT_THAT(leaf, ::testing::StartsWith("0::" + cgroup_.name() + "/"));
  EXPECT_EQ(first.out, leaf + leaf);
  EXPECT_NE(second.out, leaf);
  EXPECT_TRUE(cgroup_.children().empty());
}

TEST_F(RunLeaf, NothingACommandLeftBehindOutlivesTheRunWhateverTheKillScope) {
  for (const TKillScope scope : {TKillScope::Child, TKillScope::ProcessGroup, TKillScope::Cgroup}) {
    const TOutcome outcome = Execute(sh(kDaemonize), inLeafOf(cgroup_, scope));
    ASSERT_TRUE(outcome.Ok()) << outcome.Describe();
    EXPECT_FALSE(quill::test::running(pidIn(outcome.out)));
    EXPECT_TRUE(cgroup_.children().empty());
  }
}

TEST(RunLeafFailure, AParentThatIsNoCgroupIsRefusedBeforeAnythingStarts) {
  ScratchDir dir;
  TRunOptions options;
  options.cgroup = dir.path();
  EXPECT_THAT([&] { Execute(sh("touch " + dir.file("ran")), options); },
              ThrowsMessage<std::runtime_error>("TRunOptions::cgroup: " + dir.path() +
                                                " is not a cgroup v2 directory"));
  EXPECT_NE(access(dir.file("ran").c_str(), F_OK), 0);
}

TEST_F(RunLeaf, AControllerTheLimitsNeedThatIsNotThereIsRefusedBeforeAnythingStarts) {
  // A cgroup just made enables nothing below itself.
  const std::string parent = cgroup_.path() + "/site";
  ASSERT_EQ(mkdir(parent.c_str(), 0755), 0) << std::strerror(errno);
  ScratchDir dir;
  TRunOptions options;
  options.cgroup = parent;
  for (const char* controller : {"memory", "pids", "cpu"}) {
    options.limits = TCgroupLimits();
    if (std::strcmp(controller, "memory") == 0) options.limits.memoryHigh = 1 << 30;
    if (std::strcmp(controller, "pids") == 0) options.limits.pidsMax = 64;
    if (std::strcmp(controller, "cpu") == 0) options.limits.cpuQuota = 50ms;
    EXPECT_THAT(
        [&] { Start(TExecList(sh("touch " + dir.file("ran"))), options); },
        ThrowsMessage<std::runtime_error>("TRunOptions::cgroup: the " + std::string(controller) +
                                          " controller is not available in " + parent));
  }
  EXPECT_NE(access(dir.file("ran").c_str(), F_OK), 0);
  EXPECT_TRUE(TestCgroup::childrenOf(parent).empty());
}

TEST_F(RunLeaf, TheLimitsAreInTheLeafBeforeTheCommandStarts) {
  for (const char* controller : {"memory", "pids", "cpu"}) {
    const std::string missing = cgroup_.missing(controller);
    if (!missing.empty()) GTEST_SKIP() << missing;
  }
  TRunOptions options = inLeafOf(cgroup_);
  options.limits = {256 << 20, 192 << 20, 32, 50ms, 100ms};
  const std::string leaf = quill::test::cgroupMount() + "$(grep ^0:: /proc/self/cgroup | cut -c4-)";
  const TOutcome outcome =
      Execute(sh("cd " + leaf + " && cat memory.max memory.high pids.max cpu.max"), options);
  EXPECT_EQ(outcome.out, "268435456\n201326592\n32\n50000 100000\n") << outcome.err;
}

TEST_F(RunLeaf, ARunOverItsMemoryIsEndedByTheKernelAndSaysSo) {
  if (const std::string missing = cgroup_.missing("memory"); !missing.empty())
    GTEST_SKIP() << missing;
  // Swap would take what the limit refuses, for as long as the machine has.
  std::ofstream(cgroup_.path() + "/memory.swap.max") << "0";
  TRunOptions options = inLeafOf(cgroup_);
  options.limits.memoryMax = 64 << 20;
  const TOutcome outcome = Execute(python(kTouch), options);
  EXPECT_EQ(outcome.stages[0].signal, SIGKILL) << outcome.Describe();
  EXPECT_GT(outcome.usage.oomKills, 0u);
  EXPECT_GE(outcome.usage.memoryPeak, std::uint64_t{60} << 20);
}

TEST_F(RunLeaf, ARunOverItsProcessesFailsToForkAndSaysSo) {
  if (const std::string missing = cgroup_.missing("pids"); !missing.empty())
    GTEST_SKIP() << missing;
  TRunOptions options = inLeafOf(cgroup_);
  options.limits.pidsMax = 4;
  const TOutcome outcome =
      Execute(sh("for i in 1 2 3 4 5 6; do sleep 1000 & done; echo all started"), options);
  EXPECT_THAT(outcome.err, HasSubstr("fork"));
  EXPECT_THAT(outcome.out, ::testing::Not(HasSubstr("all started")));
  EXPECT_GT(outcome.usage.pidsLimitHits, 0u);
}

TEST_F(RunLeaf, ItsUsageCountsWhatNoCommandWaitedFor) {
  // cat ends when the burner, which nobody waits for, closes the pipe.
  const TOutcome outcome =
      Execute(sh("(python3 -c \"$BURN\" &) | cat").WithEnv("BURN", kBurn), inLeafOf(cgroup_));
  ASSERT_TRUE(outcome.Ok()) << outcome.Describe();
  const TUsage& stage = outcome.stages[0].usage;
  EXPECT_LT(stage.userCpu + stage.systemCpu, 200ms);
  EXPECT_TRUE(outcome.usage.known);
  EXPECT_GE(outcome.usage.cpu, 200ms);
}

using KillScopeCgroup = InCgroup;

TEST_F(KillScopeCgroup, TheDeadlineReachesADaemonThatLeftTheSessionAndClosedItsDescriptors) {
  ScratchDir dir;
  TRunOptions options = inLeafOf(cgroup_, TKillScope::Cgroup);
  options.timeout = 500ms;
  options.killAfter = 200ms;
  // The command itself ignores SIGTERM: SIGKILL ends it.
  const TExec daemonizes =
      sh("(setsid sh -c \"$DAEMON\" &) | head -n 1; trap '' TERM; exec sleep 1000")
          .WithEnv("DAEMON",
                   "trap 'echo got TERM > " + dir.file("mark") +
                       "; exit' TERM; echo $$; exec <&- >&- 2>&-; while :; do sleep 1000; done");
  const TOutcome outcome = Execute(daemonizes, options);
  EXPECT_TRUE(outcome.timedOut);
  EXPECT_EQ(outcome.stages[0].signal, SIGKILL);
  EXPECT_EQ(fileContent(dir.file("mark")), "got TERM\n");
  EXPECT_FALSE(quill::test::running(pidIn(outcome.out)));
  EXPECT_TRUE(cgroup_.children().empty());
}

// Drives `job` until `lines` holds `line`; false when the run ended first.
bool driveUntil(TJob& job, const std::vector<std::string>& lines, const std::string& line) {
  const auto seen = [&] { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  while (!seen()) {
    pollfd ready = {job.Fd(), POLLIN, 0};
    poll(&ready, 1, -1);
    if (job.Done()) return seen();
  }
  return true;
}

TEST_F(KillScopeCgroup, TheJobsSignalsAndItsEndReachADaemonInTheLeaf) {
  std::vector<std::string> lines;
  TRunOptions options = inLeafOf(cgroup_, TKillScope::Cgroup);
  options.onLine = [&](int, std::string_view line) { lines.emplace_back(line); };
  // The daemon keeps the run's output: it reports there. The command's own
  // shell ignores the signal from "armed" on (the daemon cannot inherit that).
  const TExec daemonizes =
      sh("(setsid sh -c \"$DAEMON\" <&- &); trap '' USR1; echo armed; exec sleep 1000")
          .WithEnv("DAEMON",
                   "trap 'echo got USR1' USR1; echo \"daemon $$\"; echo ready; "
                   "while :; do sleep 1000 & wait; done");
  pid_t daemon = -1;
  {
    TJob job = Start(TExecList(daemonizes), options);
    ASSERT_TRUE(driveUntil(job, lines, "armed"));
    ASSERT_TRUE(driveUntil(job, lines, "ready"));
    for (const std::string& line : lines)
      if (line.rfind("daemon ", 0) == 0) daemon = pidIn(line.substr(7));
    job.Signal(SIGUSR1);
    EXPECT_TRUE(driveUntil(job, lines, "got USR1"));
    EXPECT_TRUE(quill::test::running(daemon));
  }
  EXPECT_FALSE(quill::test::running(daemon));
  EXPECT_TRUE(cgroup_.children().empty());
}

}  // namespace
}  // namespace quill::sys
