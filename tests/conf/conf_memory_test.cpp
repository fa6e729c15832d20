// The configuration store when memory runs out: the exact message and level,
// errno ENOMEM, and a store left as it was.

#include <quill/conf/conf.h>
#include <quill/conf/detail/conf_store.h>

#include <errno.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/conf/alloc_fakes.h"
#include "tests/log/log_capture.h"
#include "tests/support/sandbox.h"

namespace {

using quill::detail::conf_store_find;
using quill::detail::conf_store_reserve;
using quill::detail::conf_store_set;
using quill::detail::ConfStore;
using quill::test::allocFailures;
using quill::test::LogLine;
using quill::test::LogRecorder;

const LogLine kGrowthRefused = {LOG_USER | LOG_WARNING,
                                "Unable to read configuration: Cannot allocate memory"};
const LogLine kCopyRefused = {LOG_USER | LOG_WARNING,
                              "Unable to form configuration: Cannot allocate memory"};

class ConfMemory : public ::testing::Test {
 protected:
  void SetUp() override { QUILL_REQUIRE_ALLOC_FAKES(); }
  void TearDown() override { allocFailures() = quill::test::AllocFailures{}; }

  // A store whose 20 first slots are all in use.
  void fillFirstSlots() {
    for (int i = 0; i < 20; ++i)
      ASSERT_EQ(conf_store_set(("V" + std::to_string(i)).c_str(), "v", &store_), 0);
    ASSERT_EQ(store_.capacity, 20u);
  }
  void expectFirstSlotsKept() {
    EXPECT_EQ(store_.count, 20u);
    EXPECT_EQ(store_.capacity, 20u);
    for (int i = 0; i < 20; ++i)
      EXPECT_STREQ(conf_store_find(("V" + std::to_string(i)).c_str(), &store_), "v");
  }

  ConfStore store_;
  LogRecorder log_;
};

TEST_F(ConfMemory, FirstSlotsRefusedSilently) {
  allocFailures().calloc = true;
  errno = 0;
  EXPECT_EQ(conf_store_reserve(&store_), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(store_.capacity, 0u);
  EXPECT_EQ(store_.entries, nullptr);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ConfMemory, GrowthRefusedKeepsEveryEntry) {
  fillFirstSlots();
  allocFailures().realloc = true;
  errno = 0;
  EXPECT_EQ(conf_store_set("V20", "v", &store_), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(log_.lines(), std::vector<LogLine>{kGrowthRefused});
  expectFirstSlotsKept();
  EXPECT_EQ(conf_store_find("V20", &store_), nullptr);
}

TEST_F(ConfMemory, IndexGrowthRefusedKeepsEveryEntry) {
  fillFirstSlots();
  allocFailures().calloc = true;
  EXPECT_EQ(conf_store_set("V20", "v", &store_), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(log_.lines(), std::vector<LogLine>{kGrowthRefused});
  expectFirstSlotsKept();
}

// Growth stops where a position would no longer fit the index, long before
// any size could wrap around.
TEST_F(ConfMemory, GrowthStopsAtTheLargestCapacity) {
  fillFirstSlots();
  const uint64_t largest = uint64_t{1} << 31;
  store_.capacity = store_.count = largest;
  errno = 0;
  const int result = conf_store_reserve(&store_);
  const int error = errno;
  store_.capacity = store_.count = 20;
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, ENOMEM);
  EXPECT_EQ(log_.lines(), std::vector<LogLine>{kGrowthRefused});
  expectFirstSlotsKept();
}

TEST_F(ConfMemory, CopyRefusedLeavesTheStoreAsItWas) {
  ASSERT_EQ(conf_store_set("X", "old", &store_), 0);
  allocFailures().strdupsBeforeFailure = 1;  // the name's copy succeeds, the value's fails
  errno = 0;
  EXPECT_EQ(conf_store_set("Y", "new", &store_), -1);
  EXPECT_EQ(errno, ENOMEM);
  allocFailures().strdupsBeforeFailure = 0;
  EXPECT_EQ(conf_store_set("X", "replaced", &store_), -1);
  EXPECT_EQ(log_.lines(), (std::vector<LogLine>{kCopyRefused, kCopyRefused}));
  EXPECT_EQ(store_.count, 1u);
  EXPECT_STREQ(conf_store_find("X", &store_), "old");
  EXPECT_EQ(conf_store_find("Y", &store_), nullptr);
}

TEST_F(ConfMemory, CopyRefusedStopsTheReading) {
  const std::string text = "A 1\nB 2\nC 3\n";
  FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  ASSERT_NE(stream, nullptr);
  allocFailures().strdupsBeforeFailure = 2;  // A is stored, B's name is not
  errno = 0;
  EXPECT_EQ(quill::detail::conf_store_read_stream(stream, &store_), -1);
  EXPECT_EQ(errno, ENOMEM);
  fclose(stream);
  EXPECT_EQ(log_.lines(), std::vector<LogLine>{kCopyRefused});
  EXPECT_STREQ(conf_store_find("A", &store_), "1");
  EXPECT_EQ(conf_store_find("C", &store_), nullptr);
}

// The lookups then behave as for a missing file, and try again next time.
TEST(ConfMemoryLookup, StoreRecordRefusedGivesTheDefaultAndIsRetried) {
  QUILL_REQUIRE_ALLOC_FAKES();
  QUILL_REQUIRE_SANDBOX();
  quill::test::Sandbox box("web");
  ASSERT_TRUE(box.ok()) << box.error();
  quill::test::Sandbox::writeFile("/etc/vex/vex.conf", "NAMED_RUN_ROOT_D /srv/named\n");
  EXPECT_IN_CHILD({
    LogRecorder log;
    allocFailures().nothrowNew = true;
    errno = 0;
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/var/named/run-root");
    CHILD_CHECK(errno == ENOMEM);
    CHILD_CHECK(conf_find("NAMED_RUN_ROOT_D") == nullptr);
    const LogLine refused = {LOG_ERR,
                             "Not enough memory to allocate Quill runtime configuration structure"};
    CHILD_CHECK((log.lines() == std::vector<LogLine>{refused, refused}));
    allocFailures().nothrowNew = false;
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/srv/named");
  });
}

TEST(ConfMemoryLookup, CopyRefusedWhileLoadingGivesTheDefault) {
  QUILL_REQUIRE_ALLOC_FAKES();
  QUILL_REQUIRE_SANDBOX();
  quill::test::Sandbox box("web");
  ASSERT_TRUE(box.ok()) << box.error();
  quill::test::Sandbox::writeFile("/etc/vex/vex.conf", "NAMED_RUN_ROOT_D /srv/named\n");
  EXPECT_IN_CHILD({
    LogRecorder log;
    allocFailures().strdupsBeforeFailure = 0;
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/var/named/run-root");
    CHILD_CHECK(log.lines().size() == 1);
    CHILD_CHECK(log.lines()[0].text == "Unable to form configuration: Cannot allocate memory");
    allocFailures().strdupsBeforeFailure = -1;
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/srv/named");
  });
}

}  // namespace
