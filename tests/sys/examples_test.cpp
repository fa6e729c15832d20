// The examples of the README's "Running commands", kept compiling and correct. Each
// test body below is the example as printed there.
#include <quill/sys/args.h>
#include <quill/sys/exec.h>
#include <quill/sys/exec_list.h>
#include <quill/sys/execute.h>

#include "tests/support/cgroup.h"
#include "tests/sys/sys_test_util.h"

#include <gtest/gtest.h>

#include <sys/epoll.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

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

// The README's example with its log line replaced by a record of it; the
// zone is checked once as written and once cut short.
TEST(Examples, RunningACommandForADaemon) {
  const ::quill::sys::test::ScratchDir scratch;
  const std::string zoneFile = scratch.file("localhost.rev");
  std::vector<std::string> logged;
  for (const std::string& zone :
       {std::string("$TTL 86400\n@ IN SOA a.b. root.a.b. (1 3600 900 3600000 3600)\n"
                    "  IN NS a.b.\n1 IN PTR localhost.\n"),
        std::string("$TTL 86400\n@ IN SOA a.b. root.a.b. (1 3600 900\n")}) {
    ::quill::sys::test::writeFile(zoneFile, zone);

    TEArgs args(EmptyArgs);
    args.Add("named-checkzone");
    args.Add("0.0.127.in-addr.arpa");
    args.Add(zoneFile);
    TRunOptions options;
    options.timeout = std::chrono::seconds(10);  // then SIGTERM; SIGKILL 2 s later
    options.maxOutput = 1 << 20;                 // keep the first and last 512 KiB
    const TOutcome outcome = Execute(TExec(args, TExec::Fork | TExec::SearchPath), options);
    if (!outcome.Ok()) logged.push_back(outcome.Describe());
  }

  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "named-checkzone 0.0.127.in-addr.arpa " + zoneFile + " (exit 1)");
}

// The README's loop with its log lines recorded: one command per site, each
// printing two lines, one of them failing.
TEST(Examples, RunningManyCommandsFromOneLoop) {
  const std::vector<std::string> sites = {"a.example", "b.example", "c.example"};
  auto backupOf = [](const std::string& site) {
    TEArgs args(EmptyArgs);
    args.Add("sh");
    args.Add("-c");
    args.Add("echo saving " + site + "; echo done >&2; [ " + site + " != b.example ]");
    return TExec(args, TExec::Fork | TExec::SearchPath);
  };
  std::vector<std::string> logged;
  auto log_message = [&](int level, const char* format, auto... values) {
    char line[256];
    std::snprintf(line, sizeof line, format, values...);
    logged.push_back(std::to_string(level) + " " + line);
  };

  const int loop = epoll_create1(EPOLL_CLOEXEC);
  std::vector<TJob> jobs;
  for (const std::string& site : sites) {
    TRunOptions options;
    options.timeout = std::chrono::minutes(5);
    options.onLine = [site, &log_message](int stream, std::string_view line) {
      log_message(stream == 2 ? LOG_WARNING : LOG_INFO, "%s: %.*s", site.c_str(),
                  static_cast<int>(line.size()), line.data());
    };
    jobs.push_back(Start(TExecList(backupOf(site)), options));
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.u64 = jobs.size() - 1;
    epoll_ctl(loop, EPOLL_CTL_ADD, jobs.back().Fd(), &event);
  }
  for (std::size_t left = jobs.size(); left > 0;) {
    epoll_event ready[64];
    const int count = epoll_wait(loop, ready, 64, -1);
    for (int i = 0; i < count; ++i) {
      TJob& job = jobs[ready[i].data.u64];
      if (!job.Done()) continue;
      epoll_ctl(loop, EPOLL_CTL_DEL, job.Fd(), nullptr);
      const TOutcome outcome = job.Wait();  // returns at once
      if (!outcome.Ok()) log_message(LOG_ERR, "%s", outcome.Describe().c_str());
      --left;
    }
  }
  close(loop);

  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged,
            (std::vector<std::string>{
                "3 sh -c 'echo saving b.example; echo done >&2; [ b.example != b.example ]' "
                "(exit 1)",
                "4 a.example: done", "4 b.example: done", "4 c.example: done",
                "6 a.example: saving a.example", "6 b.example: saving b.example",
                "6 c.example: saving c.example"}));
}

// The README's example as root in a cgroup made for the test, with an id
// for the site's user, a shell in place of php that leaves a process behind,
// limits only where the machine has their controllers, and its log line
// recorded.
TEST(Examples, ConfiningASiteCommand) {
  const quill::test::TestCgroup sites;
  QUILL_REQUIRE_CGROUP(sites);
  const ::quill::sys::test::ScratchDir scratch;
  chmod(scratch.path().c_str(), 0755);
  const bool limited = sites.missing("memory").empty() && sites.missing("pids").empty() &&
                       sites.missing("cpu").empty();
  std::vector<std::string> logged;

  TEArgs args(EmptyArgs);
  args.Add("sh");
  args.Add("-c");
  args.Add("echo $PWD; (sleep 1000 &)");
  const TExec task = TExec(args, TExec::Fork | TExec::SearchPath)
                         .AsUser(64124, 64124, {})
                         .WithEmptyEnv()
                         .WithEnv("PATH", "/usr/local/bin:/usr/bin:/bin")
                         .InDirectory(scratch.path())
                         .WithNoNewPrivileges()  // a set-user-id program gives no root back
                         .WithoutCapabilities();

  TRunOptions options;
  options.cgroup = sites.path();  // a fresh leaf under it per run
  if (limited) {
    options.limits.memoryMax = std::uint64_t{512} << 20;
    options.limits.pidsMax = 64;
    options.limits.cpuQuota = std::chrono::milliseconds(50);  // half a CPU
  }
  options.killScope = TKillScope::Cgroup;  // everything in the leaf
  options.timeout = std::chrono::minutes(5);
  const TOutcome outcome = Execute(task, options);
  char line[512];
  std::snprintf(line, sizeof line, "%s: %lld ms of CPU, %llu MiB at most, %llu killed for memory",
                outcome.Describe().c_str(),
                static_cast<long long>(outcome.usage.cpu.count() / 1000),
                static_cast<unsigned long long>(outcome.usage.memoryPeak >> 20),
                static_cast<unsigned long long>(outcome.usage.oomKills));
  logged.push_back(line);

  EXPECT_EQ(outcome.out, scratch.path() + "\n");
  EXPECT_TRUE(outcome.usage.known);
  EXPECT_EQ(logged[0].substr(0, logged[0].find(':')), "sh -c 'echo $PWD; (sleep 1000 &)' (exit 0)");
  EXPECT_TRUE(sites.children().empty());  // the leaf, and what was left in it, are gone
}

}  // namespace
