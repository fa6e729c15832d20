// Failure paths of running programs under real conditions: fork refused by
// a process limit, a redirection onto a read-only file system, a copy from a
// descriptor that is not open, a large capture under an address-space limit.
// Each case checks the exact error or the exact line the child leaves on its
// standard error, and that no child and no descriptor is left behind.
//
// Root is not bound by RLIMIT_NPROC, so the process-limit cases run in a
// forked child that becomes a user of its own (no other process runs as it)
// before it lowers the limit.

#include <quill/errors/errors.h>
#include <quill/sys/args.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/prepare.h>

#include "tests/faults/fault_support.h"
#include "tests/support/proc_count.h"
#include "tests/support/sandbox.h"
#include "tests/support/syscall_filter.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace quill::test {
namespace {

using sys::TEArgs;
using sys::TExec;
using sys::TRedirect;
using sys::TRedirectToFile;

// An id that no account of the machine uses, so that the process count of
// the limit is this test's alone.
constexpr uid_t kLimitedUser = 64123;

TExec command(std::initializer_list<std::string> words) {
  TEArgs args;
  for (const std::string& word : words) args.Add(word);
  return TExec(args, TExec::Fork | TExec::Wait | TExec::SearchPath);
}

// Runs `body` in a forked child as kLimitedUser, allowed at most `processes`
// processes (itself included). The report adds how many children and
// descriptors the body left behind.
std::string asLimitedUser(rlim_t processes, const std::function<std::string()>& body) {
  return inChild([&]() -> std::string {
    if (setgroups(0, nullptr) != 0 || setgid(kLimitedUser) != 0 || setuid(kLimitedUser) != 0)
      return std::string("cannot become an unprivileged user: ") + std::strerror(errno);
    // A change of user makes the process undumpable, which hides its /proc
    // entries from itself; the descriptor count needs them.
    prctl(PR_SET_DUMPABLE, 1);
    const rlimit limit = {processes, processes};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0)
      return std::string("cannot limit processes: ") + std::strerror(errno);
    const int descriptors = openDescriptorCount();
    std::string report = body();
    report += "; " + std::to_string(childProcessCount()) + " children";
    if (openDescriptorCount() != descriptors) report += "; descriptors left open";
    return report;
  });
}

class ProcessLimit : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as a user with a process limit";
  }
};

TEST_F(ProcessLimit, RunRaisesWhenForkIsRefused) {
  EXPECT_EQ(asLimitedUser(1, [] { return raisedBy([] { command({"true"}).Run(); }); }),
            "quill::sys::TSysCallErr: Resource temporarily unavailable; 0 children");
}

TEST_F(ProcessLimit, PipelineEndsTheStagesItStartedWhenALaterForkIsRefused) {
  // The first stage fits under the limit, the second does not; the first
  // would run for seconds if it were left alone.
  EXPECT_EQ(
      asLimitedUser(2,
                    [] {
                      return raisedBy([] {
                        sys::ReadOutput(sys::Pipe(command({"sleep", "30"}), command({"cat"})));
                      });
                    }),
      "quill::sys::TSysCallErr: Resource temporarily unavailable; 0 children");
}

TEST_F(ProcessLimit, ALongStandardInputTextNeedsNoProcessOfItsOwn) {
  // More than a pipe holds, under a limit that leaves room for the program
  // alone: the text reaches it whole, and no writer process is left for
  // the caller to reap.
  const std::string text(1 << 20, 'x');
  EXPECT_EQ(asLimitedUser(2,
                          [&] {
                            return sys::ReadOutput(command({"wc", "-c"}).StdinFromString(text));
                          }),
            "1048576\n; 0 children");
}

TEST(DescriptorLimitInTheChild, StandardInputPipeThatCannotBeMadeFailsTheChild) {
  // UndefinedBehaviorSanitizer's type check needs descriptors of its own.
  if (underSanitizers())
    GTEST_SKIP() << "the sanitizers' run-time needs free descriptors to check types";
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string errors = dir.path() + "/stderr";
  const int descriptors = openDescriptorCount();
  std::string raised;
  {
    // The capture pipe takes two of the three, the child's standard error
    // file one for a moment; the child is left one short of a pipe for the
    // text it should read.
    DescriptorLimit limit(3);
    raised = raisedBy([&] {
      sys::ReadOutput(command({"cat"})
                          .WithRedirectToFile(TRedirectToFile(2, errors, false))
                          .StdinFromString("text for cat\n"));
    });
  }
  EXPECT_EQ(raised, "std::runtime_error: child failed (exit code=126): ");
  EXPECT_EQ(childErrors(errors), "cat: Too many open files\n");
  EXPECT_EQ(childProcessCount(), 0);
  EXPECT_EQ(openDescriptorCount(), descriptors);
}

// The same command set up by the library's own preparations only (the child
// replays them before exec) and with a standard-input text added (the child
// runs the hooks themselves): both must fail the same way.
class ChildSetUp : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    errors_ = dir_.path() + "/stderr";
    descriptors_ = openDescriptorCount();
  }

  // `sh -c script` with its standard error going to errors_ first, so that
  // the line of a failed set-up lands there.
  TExec shell(const std::string& script) {
    return command({"sh", "-c", script}).WithRedirectToFile(TRedirectToFile(2, errors_, false));
  }

  // Runs `cmd` (hooked when the parameter says so); the exit code.
  int run(TExec cmd) {
    if (GetParam()) cmd = cmd.StdinFromString("");
    return cmd.Run().exitCode;
  }

  void TearDown() override {
    EXPECT_EQ(childProcessCount(), 0);
    EXPECT_EQ(openDescriptorCount(), descriptors_);
  }

  ScratchDir dir_;
  std::string errors_;
  int descriptors_ = 0;
};

TEST_P(ChildSetUp, OutputOntoAReadOnlyFileSystemFailsTheChild) {
  QUILL_REQUIRE_SANDBOX();
  ScratchMount mount("size=64k,mode=0755");
  ASSERT_TRUE(mount.ok()) << mount.error();
  ASSERT_EQ(mount.makeReadOnly(), "");
  const std::string output = mount.path() + "/out";
  EXPECT_EQ(run(shell("echo x").StdoutToFile(output)), 126);
  EXPECT_EQ(childErrors(errors_), "sh: " + output + ": open failed: Read-only file system\n");
  EXPECT_EQ(listing(mount.path()), std::vector<std::string>{});
}

TEST_P(ChildSetUp, CopyOfADescriptorThatIsNotOpenFailsTheChild) {
  const int closed = dup(0);
  ASSERT_GE(closed, 0);
  close(closed);
  EXPECT_EQ(run(shell("echo x").WithRedirect(TRedirect(1, closed))), 126);
  EXPECT_EQ(childErrors(errors_), "sh: Bad file descriptor\n");
}

// What ReadOutput of `cmd` (hooked when the parameter says so) raises in a
// process of its own in which the kernel refuses `refusal`: a child sets
// itself up with raw system calls, so a filter is what reaches them.
std::string readOutputRefusing(const SyscallRefusal& refusal, TExec cmd, bool hooked) {
  if (hooked) cmd = cmd.StdinFromString("");
  return inChild([&]() -> std::string {
    if (const int error = refuseSyscall(refusal))
      return std::string("cannot filter: ") + std::strerror(error);
    return raisedBy([&] { sys::ReadOutput(cmd); });
  });
}

TEST_P(ChildSetUp, AFailedCopyOntoStandardOutputFailsTheChildWithTheReason) {
  // The capture's copy onto descriptor 1, after standard error's own.
  EXPECT_EQ(readOutputRefusing({SYS_dup3, EBUSY, 1, 1}, shell("echo x"), GetParam()),
            "std::runtime_error: child failed (exit code=126): ");
  EXPECT_EQ(childErrors(errors_), "sh: Device or resource busy\n");
}

TEST_P(ChildSetUp, AStandardInputTextThatCannotBeWrittenFailsTheChild) {
  const TExec cat = command({"cat"})
                        .WithRedirectToFile(TRedirectToFile(2, errors_, false))
                        .StdinFromString("text for cat\n");
  // The write of the text's 13 bytes.
  EXPECT_EQ(readOutputRefusing({SYS_write, EIO, 2, 13}, cat, GetParam()),
            "std::runtime_error: child failed (exit code=126): ");
  EXPECT_EQ(childErrors(errors_), "cat: Input/output error\n");
}

// The address space this process holds now, in bytes; 0 when unknown.
rlim_t addressSpaceInUse() {
  unsigned long pages = 0;
  std::FILE* statm = std::fopen("/proc/self/statm", "re");
  if (statm == nullptr) return 0;
  if (std::fscanf(statm, "%lu", &pages) != 1) pages = 0;
  std::fclose(statm);
  return static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
}

// Captures the roughly 23 MB of `seq 1 3000000` with the address space
// limited to what is in use plus 80 MiB; says how that went.
std::string captureUnderAddressSpaceLimit() {
  std::string expected;
  for (int i = 1; i <= 3000000; ++i) expected += std::to_string(i) + "\n";
  const rlim_t inUse = addressSpaceInUse();
  if (inUse == 0) return "cannot read /proc/self/statm";
  const rlimit limit = {inUse + (rlim_t{80} << 20), RLIM_INFINITY};
  if (setrlimit(RLIMIT_AS, &limit) != 0)
    return std::string("cannot limit the address space: ") + std::strerror(errno);
  std::string out;
  const std::string raised = raisedBy([&] {
    out = sys::ReadOutput(command({"seq", "1", "3000000"}));
  });
  if (raised != "nothing raised") return raised;
  if (out != expected) return "an output of " + std::to_string(out.size()) + " bytes";
  return "the whole output; " + std::to_string(childProcessCount()) + " children";
}

TEST(AddressSpaceLimit, ALargeCaptureTakesLessRoomAheadWhereTheLimitRefusesIt) {
  if (underSanitizers())
    GTEST_SKIP() << "the sanitizers' run-time reserves address space far beyond any limit";
  if (underMemcheck()) GTEST_SKIP() << "memcheck's own memory counts against the limit";
  // Past 16 MiB the capture would reserve eight times what it has read; the
  // limit only leaves room for twice as much.
  EXPECT_EQ(inChild(captureUnderAddressSpaceLimit), "the whole output; 0 children");
}

INSTANTIATE_TEST_SUITE_P(ReplayedAndHooked, ChildSetUp, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Hooks" : "Replayed";
                         });

}  // namespace
}  // namespace quill::test
