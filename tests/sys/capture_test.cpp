#include <quill/sys/exec_list.h>

#include "tests/support/proc_count.h"
#include "tests/sys/sys_test_util.h"

#include <gtest/gtest.h>

#include <stdio_ext.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <thread>

namespace quill::sys {
namespace {

using test::command;
using test::failureOf;
using test::fileContent;
using test::ScratchDir;
using test::sh;
using test::shellOutput;

// Installs `handler` for SIGALRM without SA_RESTART, so that blocking calls
// return EINTR, and a timer firing every `micros`; undone on destruction.
class TimerSignal {
 public:
  TimerSignal(void (*handler)(int), long micros, bool repeat = true) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigaction(SIGALRM, &action, &previous_);
    const itimerval timer{{0, repeat ? micros : 0}, {0, micros}};
    setitimer(ITIMER_REAL, &timer, nullptr);
  }
  ~TimerSignal() {
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    // Ignoring discards a signal still pending, which the previous (default)
    // action would otherwise turn into the end of the test program.
    signal(SIGALRM, SIG_IGN);
    sigaction(SIGALRM, &previous_, nullptr);
  }

 private:
  struct sigaction previous_;
};

volatile sig_atomic_t alarms = 0;
void countAlarm(int) {
  alarms = alarms + 1;
}

TEST(ReadOutput, ReturnsTheLineWithItsNewline) {
  EXPECT_EQ(ReadOutput(command({"echo", "hello"})), "hello\n");
}

TEST(ReadOutput, AFailedChildRaisesWithItsExitCodeOrStatusAndOutput) {
  EXPECT_EQ(failureOf(TExecList(sh("printf word; exit 2"))), "child failed (exit code=2): word");
  EXPECT_EQ(failureOf(TExecList(sh("kill -9 $$"))), "child failed (status=9): ");
  EXPECT_EQ(failureOf(TExecList(command({"quill-no-such-program"}))),
            "child failed (exit code=127): ");
}

TEST(ReadOutput, AnEmptyListGivesAnEmptyStringAndRunAndReadChangesNothing) {
  EXPECT_EQ(ReadOutput(TExecList()), "");
  std::string out = "kept";
  int status = 42;
  RunAndRead(out, status, TExecList());
  EXPECT_EQ(out, "kept");
  EXPECT_EQ(status, 42);
}

TEST(ReadOutput, CapturesOnlyTheLastStageOfAPipeline) {
  EXPECT_EQ(ReadOutput(Pipe(sh("echo one; echo two"), command({"wc", "-l"}))), "2\n");
}

TEST(ReadOutput, TheCaptureTakesOverAFileRedirectionOfTheLastCommand) {
  ScratchDir dir;
  test::writeFile(dir.file("out"), "previous\n");
  const TExecList list = StdoutToFile(TExecList(command({"echo", "captured"})), dir.file("out"));
  EXPECT_EQ(ReadOutput(list), "captured\n");
  EXPECT_EQ(fileContent(dir.file("out")), "");
}

TEST(ReadOutput, ReportsTheStatusOfTheLastCommandAndReapsEveryCommand) {
  std::string out;
  int status = -5;
  RunAndRead(out, status, Sequence(sh("exit 1"), sh("echo last; exit 3")));
  EXPECT_EQ(out, "last\n");
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(ReadOutput, ASignalWithoutRestartLosesNoOutput) {
  alarms = 0;
  std::string out, large;
  {
    TimerSignal timer(countAlarm, 10000);
    out = ReadOutput(sh("i=0; while [ $i -lt 30 ]; do echo line$i; sleep 0.005; i=$((i+1)); done"));
    large =
        ReadOutput(Pipe(command({"head", "-c", "8388608", "/dev/zero"}), sh("sleep 0.05; cat")));
  }
  EXPECT_EQ(large.size(), 8u << 20);
  std::string expected;
  for (int i = 0; i < 30; ++i) expected += "line" + std::to_string(i) + "\n";
  EXPECT_EQ(out, expected);
  EXPECT_GT(alarms, 0);
}

int closedByHandler = -1;
void closeCapture(int) {
  close(closedByHandler);
}

TEST(ReadOutput, AFailedReadRaisesAndLeavesNoChildBehind) {
  // The capture pipe's read end takes the lowest free descriptor.
  closedByHandler = dup(0);
  close(closedByHandler);
  std::string what;
  {
    TimerSignal timer(closeCapture, 20000);  // again, should one come too early
    try {
      ReadOutput(command({"sleep", "5"}));
    } catch (const SystemError& error) {
      what = error.what();
    }
  }
  EXPECT_EQ(what, "read() failed: Bad file descriptor");
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(WaitChild, TreatsAMissingChildAsSuccess) {
  EXPECT_EQ(WaitChild(getpid()), 0);
}

TEST(WaitChild, ReportsTheRawStatus) {
  const TRunResult started = sh("exit 6").WithFlags(TExec::Fork | TExec::SearchPath).Run();
  const int status = WaitChild(started.pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 6);
}

TEST(WaitChild, AChildReapedBySomeoneElseFailsRunButNotTheCapture) {
  struct sigaction ignore = {}, previous;
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &previous);  // children are reaped by the kernel
  int runError = 0;
  try {
    sh("exit 0").Run();
  } catch (const TSysCallErr& error) {
    runError = error.errorNumber;
  }
  const std::string out = ReadOutput(command({"echo", "still"}));
  sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(runError, ECHILD);
  EXPECT_EQ(out, "still\n");
}

// Runs `body` in a forked child of the test and returns what it returned,
// or how the child ended.
template <typename Body>
std::string inChild(Body body) {
  int report[2];
  if (pipe(report) != 0) return "no pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    std::string result;
    try {
      result = body();
    } catch (const std::exception& error) {
      result = std::string("raised: ") + error.what();
    }
    (void)!write(report[1], result.data(), result.size());
    _exit(0);
  }
  close(report[1]);
  std::string result;
  char buffer[256];
  ssize_t got;
  while ((got = read(report[0], buffer, sizeof buffer)) > 0) result.append(buffer, got);
  close(report[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return status == 0 ? result : "child ended with status " + std::to_string(status);
}

TEST(StandardInputText, ALongTextLeavesNoProcessForASubreaperToReap) {
  // A subreaper (or PID 1 of a container) inherits every orphan below it: a
  // writer process of the text would come back to it as a zombie.
  const std::string report = inChild([] {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::string out;
    for (int i = 0; i < 3; ++i) {
      out = ReadOutput(command({"wc", "-c"}).StdinFromString(std::string(1 << 20, 'x')));
    }
    return out + std::to_string(quill::test::childProcessCount()) + " children";
  });
  EXPECT_EQ(report, "1048576\n0 children");
}

TEST(StandardInputText, ALongTextArrivesWholeWithChildSignalIgnored) {
  const std::string report = inChild([] {
    signal(SIGCHLD, SIG_IGN);  // children are reaped by the kernel
    return ReadOutput(command({"wc", "-c"}).StdinFromString(std::string(1 << 20, 'x')));
  });
  EXPECT_EQ(report, "1048576\n");
}

TEST(WaitChild, AStoppedChildIsWaitedForUntilItEnds) {
  // The child closes its output, so the capture ends, and stops itself;
  // once the stop has been seen, it is continued and exits 0.
  std::thread resume([] {
    // Until the capture has started its child there is nothing to wait for.
    siginfo_t info = {};
    int seen;
    while ((seen = waitid(P_ALL, 0, &info, WSTOPPED | WNOWAIT)) == -1 &&
           (errno == ECHILD || errno == EINTR)) {
      std::this_thread::yield();
    }
    if (seen == 0) kill(info.si_pid, SIGCONT);
  });
  std::string out = "<raised>";
  try {
    out = ReadOutput(sh("exec >&-; kill -STOP $$; exit 0"));
  } catch (const std::runtime_error& error) {
    out = error.what();
  }
  resume.join();
  EXPECT_EQ(out, "");
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

TEST(ParentStdio, PendingBytesOfTheCallerNeverReachAChild) {
  std::fputs("STRAY-STDIO", stdout);
  std::cout << "STRAY-COUT";
  const std::string big(200000, 'b');
  const std::string small = ReadOutput(command({"cat"}).StdinFromString("abc"));
  const std::string large = ReadOutput(command({"cat"}).StdinFromString(big));
  const std::string failed = failureOf(TExecList(command({"/nonexistent/program"})));
  __fpurge(stdout);  // the stray bytes were never meant to be printed
  EXPECT_EQ(small, "abc");
  EXPECT_EQ(large.size(), big.size());
  EXPECT_EQ(large, big);
  EXPECT_EQ(failed, "child failed (exit code=127): ");
}

// Pipelines of standard utilities, run by the library and by sh -c.
struct ShellCase {
  std::string script;
  TExecList list;
};

TEST(Differential, PipelinesGiveWhatTheShellGives) {
  const std::string words = "pear\\napple\\nfig\\napple\\nplum\\npear\\napple\\n";
  const TExec produce = command({"printf", words});
  const std::vector<ShellCase> cases = {
      {"printf '" + words + "'", TExecList(produce)},
      {"printf 'Hello World\\n' | tr a-z A-Z",
       Pipe(command({"printf", "Hello World\\n"}), command({"tr", "a-z", "A-Z"}))},
      {"printf '" + words + "' | sort", Pipe(produce, command({"sort"}))},
      {"printf '" + words + "' | sort | uniq -c",
       Pipe(Pipe(produce, command({"sort"})), command({"uniq", "-c"}))},
      {"printf '" + words + "' | sort -r | head -n 2",
       Pipe(produce, Pipe(command({"sort", "-r"}), command({"head", "-n", "2"})))},
      {"printf '" + words + "' | grep p | wc -l",
       Pipe(Pipe(produce, command({"grep", "p"})), command({"wc", "-l"}))},
      {"printf '" + words + "' | cat | cat",
       Pipe(Pipe(produce, command({"cat"})), command({"cat"}))},
      {"printf '" + words + "' | grep -v apple | sort -u",
       Pipe(Pipe(produce, command({"grep", "-v", "apple"})), command({"sort", "-u"}))},
      {"printf '" + words + "' | tr -d e | wc -c",
       Pipe(Pipe(produce, command({"tr", "-d", "e"})), command({"wc", "-c"}))},
      {"printf '" + words + "' | head -n 3 | tr '\\n' ,",
       Pipe(Pipe(produce, command({"head", "-n", "3"})), command({"tr", "\\n", ","}))},
      {"printf '" + words + "' | sort | uniq -d",
       Pipe(Pipe(produce, command({"sort"})), command({"uniq", "-d"}))},
      {"printf '" + words + "' | grep -c pear", Pipe(produce, command({"grep", "-c", "pear"}))},
      {"seq 1 20000 | sort -rn | head -n 3",
       Pipe(Pipe(command({"seq", "1", "20000"}), command({"sort", "-rn"})),
            command({"head", "-n", "3"}))},
  };
  for (const ShellCase& c : cases) {
    EXPECT_EQ(ReadOutput(c.list), shellOutput(c.script)) << c.script;
  }
  EXPECT_EQ(quill::test::childProcessCount(), 0);
}

// The lines of `seq 1 last`.
std::string numbersUpTo(int last) {
  std::string text;
  for (int i = 1; i <= last; ++i) text += std::to_string(i) + "\n";
  return text;
}

TEST(ReadOutput, ALargeOutputKeepsEveryByteInOrderAsItsBufferGrows) {
  // About 4 MiB of lines that differ, read through more than one change of
  // buffer: a lost, doubled or zero-filled stretch would show.
  const std::string expected = numbersUpTo(600000);
  const std::string out = ReadOutput(command({"seq", "1", "600000"}));
  ASSERT_EQ(out.size(), expected.size());
  EXPECT_TRUE(out == expected);
  EXPECT_GE(out.capacity(), out.size());
}

std::string quoted(const std::string& path) {
  std::string result = "'";
  for (char c : path) result += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return result + "'";
}

TEST(FileType, HandsAnyPathToTheUtilityAsOneArgument) {
  ScratchDir dir;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  // Relative names, so that a leading "-" is the path's first byte.
  const std::vector<std::string> paths = {
      "with blank", "quote's \"double\"", "$(touch pwned)", "a;b", "-leading-dash", "--", "-bL"};
  for (const std::string& path : paths) test::writeFile(path, "#!/bin/sh\necho hi\n");
  test::writeFile("-empty", "");
  for (const std::string& path : paths) {
    EXPECT_EQ(FileType(path), shellOutput("file -bL -- " + quoted(path))) << path;
  }
  EXPECT_EQ(FileType("-empty"), shellOutput("file -bL -- -empty"));
  EXPECT_EQ(FileType(dir.file("missing")),
            shellOutput("file -bL -- " + quoted(dir.file("missing"))));
  EXPECT_NE(access("pwned", F_OK), 0);
  ASSERT_EQ(chdir(previous), 0);
}

}  // namespace
}  // namespace quill::sys
