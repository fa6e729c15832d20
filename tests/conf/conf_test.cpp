// The lookups over the one configuration store of the process. The store is
// loaded once and final, so every test loads it in a forked child, inside a
// sandbox whose /etc/vex/vex.conf the test writes.

#include <quill/conf/conf.h>

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/log/log_capture.h"
#include "tests/support/sandbox.h"
#include "tests/support/tool_files.h"

extern "C" const char* conf_get_from_c(int index);
extern "C" const char* conf_get_configured_from_c(int index);

namespace {

using quill::test::LogLine;
using quill::test::LogRecorder;
using quill::test::Sandbox;

constexpr char kConfPath[] = "/etc/vex/vex.conf";
const LogLine kNoFile = {LOG_USER | LOG_WARNING,
                         "unable to open configuration file /etc/vex/vex.conf: No such file or "
                         "directory\n"};

LogLine notInCatalogue(const std::string& name) {
  return {LOG_ERR, "variable '" + name +
                       "' was found neither in /etc/vex/vex.conf, nor in compile-time defaults"};
}

class ConfLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_SANDBOX();
    box_ = std::make_unique<Sandbox>("web");
    ASSERT_TRUE(box_->ok()) << box_->error();
  }
  static void writeConf(const std::string& content) { Sandbox::writeFile(kConfPath, content); }

  std::unique_ptr<Sandbox> box_;
};

TEST_F(ConfLookup, WithoutAFileEveryIndexGivesItsDefault) {
  EXPECT_IN_CHILD({
    LogRecorder log;
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/var/named/run-root");
    CHILD_CHECK(conf_get(NAMED_RUN_ROOT_D) == conf_var_defaults[NAMED_RUN_ROOT_D]);
    CHILD_CHECK_STREQ(conf_get(_MIN_POSSIBLE_VEX_CONF_VAR_NAME),
                      "_MIN_POSSIBLE_VEX_CONF_VAR_VALUE");
    CHILD_CHECK_STREQ(conf_get(_MAX_POSSIBLE_VEX_CONF_VAR_NAME),
                      "_MAX_POSSIBLE_VEX_CONF_VAR_VALUE");
    CHILD_CHECK_STREQ(conf_get(HTTPD_SERVICE), "apache2");
    CHILD_CHECK(conf_get_configured(NAMED_RUN_ROOT_D) == nullptr);
    CHILD_CHECK(conf_find("NAMED_RUN_ROOT_D") == nullptr);
  });
}

// Each lookup tries the file again and says so again.
TEST_F(ConfLookup, MissingFileIsRetriedAndLoggedOnEveryLookup) {
  EXPECT_IN_CHILD({
    LogRecorder log;
    errno = 0;
    conf_get(NAMED_RUN_ROOT_D);
    CHILD_CHECK(errno == ENOENT);
    CHILD_CHECK(log.lines() == std::vector<LogLine>{kNoFile});
    conf_get(NAMED_RUN_ROOT_D);
    conf_find("X");
    CHILD_CHECK((log.lines() == std::vector<LogLine>{kNoFile, kNoFile, kNoFile}));
  });
}

TEST_F(ConfLookup, FileThatAppearsLaterIsLoadedOnceAndKept) {
  EXPECT_IN_CHILD({
    LogRecorder log;
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/var/named/run-root");
    writeConf("NAMED_RUN_ROOT_D /srv/named\n");
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/srv/named");
    writeConf("NAMED_RUN_ROOT_D /elsewhere\nDUMP_D /dumps\n");
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/srv/named");
    CHILD_CHECK_STREQ(conf_get(DUMP_D), "/var/lib/vex/dumps");
    unlink(kConfPath);
    CHILD_CHECK_STREQ(conf_find("NAMED_RUN_ROOT_D"), "/srv/named");
    CHILD_CHECK(log.lines().size() == 1);
  });
}

TEST_F(ConfLookup, FileValueWinsOverTheDefault) {
  writeConf("# panel settings\n  NAMED_RUN_ROOT_D   /srv/named  # chroot\nHTTPD_SERVICE httpd\n");
  EXPECT_IN_CHILD({
    LogRecorder log;
    const char* value = conf_get(NAMED_RUN_ROOT_D);
    CHILD_CHECK_STREQ(value, "/srv/named");
    CHILD_CHECK(conf_get_configured(NAMED_RUN_ROOT_D) == value);
    CHILD_CHECK(conf_find("NAMED_RUN_ROOT_D") == value);
    CHILD_CHECK_STREQ(conf_get(HTTPD_SERVICE), "httpd");
    CHILD_CHECK_STREQ(conf_get(DUMP_D), "/var/lib/vex/dumps");
    CHILD_CHECK(conf_get_configured(DUMP_D) == nullptr);
    CHILD_CHECK(log.lines().empty());
  });
}

TEST_F(ConfLookup, RejectedLineLeavesTheDefaultInForce) {
  writeConf("NAMED_RUN_ROOT_D=/srv/named\n");
  EXPECT_IN_CHILD({
    LogRecorder log;
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/var/named/run-root");
    CHILD_CHECK(log.lines().size() == 1);
    CHILD_CHECK(log.lines()[0].level == (LOG_USER | LOG_WARNING));
    CHILD_CHECK(log.lines()[0].text ==
                "Invalid variable definition NAMED_RUN_ROOT_D=/srv/named\n\nExpected a space after "
                "variable name\n");
    // A file that loads, even with nothing in it, is not read again.
    conf_get(DUMP_D);
    CHILD_CHECK(log.lines().size() == 1);
  });
}

TEST_F(ConfLookup, ByNameGivesWhatTheIndexGives) {
  writeConf("NAMED_RUN_ROOT_D /srv/named\n");
  EXPECT_IN_CHILD({
    LogRecorder log;
    CHILD_CHECK(conf_get_by_name("NAMED_RUN_ROOT_D") == conf_get(NAMED_RUN_ROOT_D));
    CHILD_CHECK_STREQ(conf_get_by_name("NAMED_RUN_ROOT_D"), "/srv/named");
    CHILD_CHECK_STREQ(conf_get_by_name("DUMP_TMP_D"), "/tmp");
    CHILD_CHECK(log.lines().empty());
  });
}

TEST_F(ConfLookup, ByNameKnowsOnlyTheCatalogue) {
  writeConf("NO_SUCH_VAR set anyway\nnamed_run_root_d lower\n");
  EXPECT_IN_CHILD({
    LogRecorder log;
    CHILD_CHECK(conf_get_by_name("NO_SUCH_VAR") == nullptr);
    CHILD_CHECK(conf_get_by_name("named_run_root_d") == nullptr);
    CHILD_CHECK((log.lines() == std::vector<LogLine>{notInCatalogue("NO_SUCH_VAR"),
                                                     notInCatalogue("named_run_root_d")}));
    CHILD_CHECK_STREQ(conf_find("NO_SUCH_VAR"), "set anyway");
    CHILD_CHECK_STREQ(conf_find("named_run_root_d"), "lower");
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/var/named/run-root");
  });
}

// The lower bound's name is searched by name, the upper bound's is not.
TEST_F(ConfLookup, ByNameSearchesTheLowerBoundButNotTheUpper) {
  writeConf("_MIN_POSSIBLE_VEX_CONF_VAR_NAME low\n_MAX_POSSIBLE_VEX_CONF_VAR_NAME high\n");
  EXPECT_IN_CHILD({
    LogRecorder log;
    CHILD_CHECK_STREQ(conf_get_by_name("_MIN_POSSIBLE_VEX_CONF_VAR_NAME"), "low");
    CHILD_CHECK(conf_get_by_name("_MAX_POSSIBLE_VEX_CONF_VAR_NAME") == nullptr);
    CHILD_CHECK(
        (log.lines() == std::vector<LogLine>{notInCatalogue("_MAX_POSSIBLE_VEX_CONF_VAR_NAME")}));
    CHILD_CHECK_STREQ(conf_get(_MAX_POSSIBLE_VEX_CONF_VAR_NAME), "high");
  });
}

TEST_F(ConfLookup, ByNameWithoutAFileGivesTheDefault) {
  EXPECT_IN_CHILD({
    LogRecorder log;
    CHILD_CHECK_STREQ(conf_get_by_name("_MIN_POSSIBLE_VEX_CONF_VAR_NAME"),
                      "_MIN_POSSIBLE_VEX_CONF_VAR_VALUE");
    CHILD_CHECK_STREQ(conf_get_by_name("SNI_SUPPORT"), "true");
  });
}

TEST_F(ConfLookup, FoundValueIsRememberedAMissIsAskedAgain) {
  writeConf("NAMED_RUN_ROOT_D /srv/named\n");
  EXPECT_IN_CHILD({
    const char* first = conf_get_configured(NAMED_RUN_ROOT_D);
    CHILD_CHECK_STREQ(first, "/srv/named");
    CHILD_CHECK(conf_get_configured(NAMED_RUN_ROOT_D) == first);
    CHILD_CHECK(conf_get_configured(DUMP_D) == nullptr);
    CHILD_CHECK(conf_get_configured(DUMP_D) == nullptr);
  });
}

TEST_F(ConfLookup, LaterDefinitionWinsAndManyDefinitionsLoad) {
  std::string content = "NAMED_RUN_ROOT_D /first\n";
  for (int i = 0; i < 5000; ++i)
    content += "EXTRA_" + std::to_string(i) + " " + std::to_string(i) + "\n";
  content += "NAMED_RUN_ROOT_D /second\n";
  writeConf(content);
  EXPECT_IN_CHILD({
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/second");
    CHILD_CHECK_STREQ(conf_find("EXTRA_0"), "0");
    CHILD_CHECK_STREQ(conf_find("EXTRA_4999"), "4999");
  });
}

// A program that must not fall back on the defaults tells a missing file from
// one that is there but unusable; the lookups give the defaults either way.
// A named pipe is refused at once, never waited on (the alarm would end the
// child).
TEST_F(ConfLookup, LoadTellsAMissingFileFromAnUnusableOne) {
  EXPECT_IN_CHILD({
    alarm(30);
    LogRecorder log;
    errno = 0;
    CHILD_CHECK(conf_load() == -1 && errno == ENOENT);

    CHILD_CHECK(mkdir("/etc/vex", 0755) == 0 && mkfifo(kConfPath, 0644) == 0);
    errno = 0;
    CHILD_CHECK(conf_load() == -1 && errno == EINVAL);
    CHILD_CHECK(log.lines().back().text ==
                "unable to open configuration file /etc/vex/vex.conf: not a regular file\n");
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/var/named/run-root");
    CHILD_CHECK(unlink(kConfPath) == 0);

    CHILD_CHECK(mkdir(kConfPath, 0755) == 0);
    errno = 0;
    CHILD_CHECK(conf_load() == -1 && errno == EISDIR);
    CHILD_CHECK(rmdir(kConfPath) == 0);

    writeConf("NAMED_RUN_ROOT_D /srv/named\n");
    CHILD_CHECK(chmod(kConfPath, 0) == 0);
    CHILD_CHECK(quill::test::dropFileAccessOverride());
    errno = 0;
    CHILD_CHECK(conf_load() == -1 && errno == EACCES);
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/var/named/run-root");
    CHILD_CHECK(chmod(kConfPath, 0644) == 0);

    CHILD_CHECK(conf_load() == 0);
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/srv/named");
    CHILD_CHECK(unlink(kConfPath) == 0);
    CHILD_CHECK(conf_load() == 0);
  });
}

// With the console at its usual threshold the level-12 warnings stay quiet.
TEST_F(ConfLookup, WarningsAreBelowTheUsualThreshold) {
  EXPECT_EXIT(
      {
        log_init("stderr", 3, LOG_USER, 0, nullptr);
        conf_get(NAMED_RUN_ROOT_D);
        conf_get_by_name("NO_SUCH_VAR");
        _exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^variable 'NO_SUCH_VAR' was found neither in /etc/vex/vex.conf, nor in compile-time "
      "defaults\n$");
}

TEST(ConfLookupArguments, IndexOutsideTheCatalogueIsRefusedWithoutLoading) {
  EXPECT_IN_CHILD({
    LogRecorder log;
    for (int index : {-1, 31, 1000, -2147483647 - 1}) {
      errno = 0;
      CHILD_CHECK(conf_get_from_c(index) == nullptr);
      CHILD_CHECK(errno == EINVAL);
      errno = 0;
      CHILD_CHECK(conf_get_configured_from_c(index) == nullptr);
      CHILD_CHECK(errno == EINVAL);
    }
    CHILD_CHECK(log.lines().empty());
  });
}

TEST(ConfLookupArguments, NullNameIsRefused) {
  EXPECT_IN_CHILD({
    LogRecorder log;
    errno = 0;
    CHILD_CHECK(conf_find(nullptr) == nullptr);
    CHILD_CHECK(errno == EINVAL);
    errno = 0;
    CHILD_CHECK(conf_get_by_name(nullptr) == nullptr);
    CHILD_CHECK(errno == EINVAL);
    CHILD_CHECK(log.lines().empty());
  });
}

}  // namespace
