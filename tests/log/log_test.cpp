#include <quill/log/log.h>

#include <dlfcn.h>
#include <errno.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/log/log_capture.h"

// openlog() and closelog() as seen by the channel: calls are recorded, then
// passed on to the C library.
namespace {
struct OpenlogCall {
  std::string ident;
  int options;
  int facility;
};
std::vector<std::string> syslogCalls;
std::vector<OpenlogCall> openlogCalls;
}  // namespace

extern "C" void openlog(const char* ident, int options, int facility) {
  syslogCalls.push_back("openlog");
  openlogCalls.push_back({ident != nullptr ? ident : "(null)", options, facility});
  using Openlog = void (*)(const char*, int, int);
  reinterpret_cast<Openlog>(dlsym(RTLD_NEXT, "openlog"))(ident, options, facility);
}

extern "C" void closelog() {
  syslogCalls.push_back("closelog");
  reinterpret_cast<void (*)()>(dlsym(RTLD_NEXT, "closelog"))();
}

namespace {

using quill::test::StdioCapture;

// Every test starts from the channel's state at program start and leaves it
// so. Tests that open syslog run in a child, where the connection dies with it.
class LogChannel : public ::testing::Test {
 protected:
  void TearDown() override {
    log_console_target = nullptr;
    log_threshold = 6;
    log_facility = 0;
    log_message = console_log;
    log_vmessage = console_vlog;
  }
};

void logThroughVaList(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_vmessage(level, format, args);
  va_end(args);
}

TEST_F(LogChannel, StartsOnTheConsoleWithThresholdSix) {
  EXPECT_EQ(log_console_target, nullptr);
  EXPECT_EQ(log_threshold, 6);
  EXPECT_EQ(log_message, &console_log);
  EXPECT_EQ(log_vmessage, &console_vlog);
}

TEST_F(LogChannel, BeforeInitPrintsToStandardErrorAndStandardOutput) {
  StdioCapture capture;
  log_message(3, "%d", 5);
  EXPECT_EQ(capture.err(), "5\n");
  EXPECT_EQ(capture.out(), "5\n");
}

TEST_F(LogChannel, BeforeInitDropsLevelsAboveSix) {
  StdioCapture capture;
  log_message(6, "info");
  log_message(7, "debug");
  EXPECT_EQ(capture.err(), "info\n");
  EXPECT_EQ(capture.out(), "info\n");
}

TEST_F(LogChannel, ConsoleTargetMatchesWithoutRegardToCase) {
  EXPECT_EQ(log_init("Console", 7, LOG_USER, 0, "ignored"), 7);
  EXPECT_EQ(log_message, &console_log);
  StdioCapture capture;
  log_message(7, "seven %s", "x");
  log_message(8, "eight");
  log_message(12, "twelve");
  EXPECT_EQ(capture.err(), "seven x\n");
  EXPECT_EQ(capture.out(), "seven x\n");
}

TEST_F(LogChannel, StderrTargetPrintsToStandardErrorOnly) {
  EXPECT_EQ(log_init("stderr", 3, LOG_USER, 0, nullptr), 3);
  StdioCapture capture;
  log_message(3, "three");
  log_message(4, "four");
  EXPECT_EQ(capture.err(), "three\n");
  EXPECT_EQ(capture.out(), "");
}

TEST_F(LogChannel, StderrTargetIgnoresCaseToo) {
  log_init("STDERR", 3, LOG_USER, 0, nullptr);
  StdioCapture capture;
  log_message(0, "zero");
  EXPECT_EQ(capture.err(), "zero\n");
  EXPECT_EQ(capture.out(), "");
}

TEST_F(LogChannel, AnyOtherTargetSilencesTheConsole) {
  log_init("file", 7, LOG_USER, 0, nullptr);
  StdioCapture capture;
  for (int level = 0; level <= 7; ++level) log_message(level, "level %d", level);
  EXPECT_EQ(capture.err(), "");
  EXPECT_EQ(capture.out(), "");
}

TEST_F(LogChannel, LevelWithFacilityBitsIsComparedWhole) {
  log_init("console", 11, LOG_USER, 0, nullptr);
  StdioCapture capture;
  log_message(LOG_USER | LOG_WARNING, "dropped");
  log_set_level(12);
  log_message(LOG_USER | LOG_WARNING, "kept");
  EXPECT_EQ(capture.err(), "kept\n");
  EXPECT_EQ(capture.out(), "kept\n");
}

TEST_F(LogChannel, NegativeLevelIsRaisedToZeroOnTheConsole) {
  log_init("stderr", 3, LOG_USER, 0, nullptr);
  EXPECT_EQ(log_set_level(-5), 0);
  EXPECT_EQ(log_threshold, 0);
  StdioCapture capture;
  log_message(1, "one");
  log_message(0, "zero");
  EXPECT_EQ(capture.err(), "zero\n");
}

TEST_F(LogChannel, ConsoleLineHasNoPrefixAndOneLineFeed) {
  log_init("stderr", 7, LOG_USER, 0, nullptr);
  StdioCapture capture;
  log_message(3, "ends in a line feed\n");
  log_message(3, "%s|%5d|%%", "text", 42);
  EXPECT_EQ(capture.err(), "ends in a line feed\n\ntext|   42|%\n");
}

TEST_F(LogChannel, VaListEntryPointPrintsTheSame) {
  StdioCapture capture;
  logThroughVaList(3, "%s and %d", "va", 9);
  EXPECT_EQ(capture.err(), "va and 9\n");
  EXPECT_EQ(capture.out(), "va and 9\n");
}

TEST_F(LogChannel, ConsoleLeavesErrnoAlone) {
  StdioCapture capture;
  errno = ENOENT;
  console_log(3, "message");
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(LogChannel, FacilityIsStoredInBothModes) {
  log_init("console", 3, LOG_MAIL, 0, nullptr);
  EXPECT_EQ(log_facility, LOG_MAIL);
  EXPECT_EQ(log_console_target, std::string("console"));
}

TEST_F(LogChannel, ConsoleModeDoesNotTouchSyslog) {
  syslogCalls.clear();
  log_init("console", 3, LOG_USER, LOG_PERROR, "ident");
  EXPECT_TRUE(syslogCalls.empty());
}

// The tool's own settings.
TEST_F(LogChannel, SyslogModeOpensWithPidAndMasksUpToTheLevel) {
  EXPECT_IN_CHILD({
    syslogCalls.clear();
    openlogCalls.clear();
    const int previousMask = setlogmask(0);
    CHILD_CHECK(log_init(nullptr, 3, LOG_USER, LOG_PERROR, "quill-log-test") == previousMask);
    CHILD_CHECK((syslogCalls == std::vector<std::string>{"closelog", "openlog"}));
    CHILD_CHECK(openlogCalls.size() == 1);
    CHILD_CHECK(openlogCalls[0].ident == "quill-log-test");
    CHILD_CHECK(openlogCalls[0].options == (LOG_PERROR | LOG_PID));
    CHILD_CHECK(openlogCalls[0].facility == LOG_USER);
    CHILD_CHECK(log_facility == LOG_USER);
    CHILD_CHECK(log_console_target == nullptr);
    CHILD_CHECK(setlogmask(0) == 0x0F);
    CHILD_CHECK(log_message == &syslog);
    CHILD_CHECK(log_vmessage == &vsyslog);
    CHILD_CHECK(log_threshold == 3);
  });
}

// LOG_PERROR makes the C library copy what passes the mask to standard error,
// under the identity and the process id.
TEST_F(LogChannel, SyslogModeCopiesMessagesWithinTheMaskToStandardError) {
  EXPECT_EXIT(
      {
        log_init(nullptr, 3, LOG_USER, LOG_PERROR, "quill-log-test");
        log_message(LOG_USER | LOG_WARNING, "filtered %d", 12);
        log_message(LOG_ERR, "logged %d", 3);
        logThroughVaList(LOG_ERR, "through %s", "vsyslog");
        _exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^quill-log-test\\[[0-9]+\\]: logged 3\nquill-log-test\\[[0-9]+\\]: through vsyslog\n$");
}

TEST_F(LogChannel, SyslogMaskFollowsLaterLevels) {
  EXPECT_IN_CHILD({
    log_init(nullptr, 3, LOG_USER, 0, "quill-log-test");
    CHILD_CHECK(log_set_level(7) == 0x0F);
    CHILD_CHECK(setlogmask(0) == 0xFF);
    // The empty mask of level -1 leaves the mask as it was.
    CHILD_CHECK(log_set_level(-1) == 0xFF);
    CHILD_CHECK(setlogmask(0) == 0xFF);
    CHILD_CHECK(log_threshold == 0);
    log_set_level(0);
    CHILD_CHECK(setlogmask(0) == 0x01);
    // Far outside the levels: every severity, not an undefined shift.
    log_set_level(40);
    CHILD_CHECK((setlogmask(0) & 0xFF) == 0xFF);
  });
}

TEST_F(LogChannel, EverySwitchToSyslogReopensIt) {
  EXPECT_IN_CHILD({
    log_init(nullptr, 3, LOG_USER, 0, "first");
    log_init("console", 3, LOG_USER, 0, nullptr);
    CHILD_CHECK(log_message == &console_log);
    CHILD_CHECK(log_vmessage == &console_vlog);
    syslogCalls.clear();
    openlogCalls.clear();
    log_init(nullptr, 5, LOG_DAEMON, LOG_NDELAY, "second");
    CHILD_CHECK((syslogCalls == std::vector<std::string>{"closelog", "openlog"}));
    CHILD_CHECK(openlogCalls[0].ident == "second");
    CHILD_CHECK(openlogCalls[0].options == (LOG_NDELAY | LOG_PID));
    CHILD_CHECK(openlogCalls[0].facility == LOG_DAEMON);
    CHILD_CHECK(setlogmask(0) == 0x3F);
  });
}

}  // namespace
