// The configuration store when memory runs out: the exact message and level,
// errno ENOMEM, and a store left as it was.

#include <quill/conf/conf.h>
#include <quill/conf/detail/conf_reader.h>
#include <quill/conf/detail/conf_store.h>

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/conf/alloc_fakes.h"
#include "tests/log/log_capture.h"
#include "tests/support/sandbox.h"
#include "tests/support/scratch_dir.h"

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

  // A file with `content` in a fresh directory; the caller removes the file.
  std::string writeFile(const std::string& content) {
    const std::string path = scratch_.file("vex" + std::to_string(++files_) + ".conf");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    return path;
  }

  ConfStore store_;
  LogRecorder log_;
  quill::test::ScratchDir scratch_;
  int files_ = 0;
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

// A large file has the index made at once for as many entries as it has
// lines; the store's growth then only grows the entries.
TEST_F(ConfMemory, GrowthRefusedAfterAFileKeepsEveryEntry) {
  std::string content;
  for (int i = 0; i < 2560; ++i)
    content += "LOADED_" + std::to_string(i) + " /value/of/the/loaded/variable\n# note\n";
  const std::string path = writeFile(content);
  ASSERT_EQ(quill::detail::conf_store_read_file(path.c_str(), &store_), 0);
  unlink(path.c_str());
  ASSERT_EQ(store_.capacity, 2560u);
  allocFailures().realloc = true;
  errno = 0;
  EXPECT_EQ(conf_store_set("NEW", "v", &store_), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(log_.lines(), std::vector<LogLine>{kGrowthRefused});
  EXPECT_EQ(store_.count, 2560u);
  EXPECT_EQ(store_.capacity, 2560u);
  EXPECT_EQ(conf_store_find("NEW", &store_), nullptr);
  for (int i = 0; i < 2560; ++i)
    ASSERT_STREQ(conf_store_find(("LOADED_" + std::to_string(i)).c_str(), &store_),
                 "/value/of/the/loaded/variable");

  allocFailures().realloc = false;
  allocFailures().calloc = true;  // the index is not made again
  EXPECT_EQ(conf_store_set("NEW", "v", &store_), 0);
  EXPECT_EQ(store_.capacity, 5120u);
  EXPECT_STREQ(conf_store_find("NEW", &store_), "v");
  for (int i = 0; i < 2560; ++i)
    ASSERT_STREQ(conf_store_find(("LOADED_" + std::to_string(i)).c_str(), &store_),
                 "/value/of/the/loaded/variable");
}

TEST_F(ConfMemory, CopyRefusedLeavesTheStoreAsItWas) {
  ASSERT_EQ(conf_store_set("X", "old", &store_), 0);
  allocFailures().nothrowArrayNewsBeforeFailure = 0;  // the block for the pair's copies
  errno = 0;
  EXPECT_EQ(conf_store_set("Y", "new", &store_), -1);
  EXPECT_EQ(errno, ENOMEM);
  EXPECT_EQ(conf_store_set("X", "replaced", &store_), -1);
  EXPECT_EQ(log_.lines(), (std::vector<LogLine>{kCopyRefused, kCopyRefused}));
  EXPECT_EQ(store_.count, 1u);
  EXPECT_STREQ(conf_store_find("X", &store_), "old");
  EXPECT_EQ(conf_store_find("Y", &store_), nullptr);
}

TEST_F(ConfMemory, TextRefusedLoadsNothing) {
  const std::string path = writeFile("A 1\nB 2\n");
  ASSERT_EQ(conf_store_reserve(&store_), 0);
  allocFailures().nothrowArrayNewsBeforeFailure = 0;
  errno = 0;
  EXPECT_EQ(quill::detail::conf_store_read_file(path.c_str(), &store_), -1);
  EXPECT_EQ(errno, ENOMEM);
  unlink(path.c_str());
  EXPECT_EQ(log_.lines(), std::vector<LogLine>{kCopyRefused});
  EXPECT_EQ(store_.count, 0u);
  EXPECT_EQ(conf_store_find("A", &store_), nullptr);
}

// A stream is read block by block; the definitions of the blocks read before
// the refusal stay, and nothing after it is read.
TEST_F(ConfMemory, CopyRefusedStopsTheReading) {
  std::string text = "A 1\n";
  while (text.size() < 1024 * 1024) text += "# a comment that fills the blocks of the stream\n";
  text += "C 3\nBAD=line\n";
  FILE* stream = fmemopen(text.data(), text.size(), "r");
  ASSERT_NE(stream, nullptr);
  ASSERT_EQ(conf_store_reserve(&store_), 0);
  allocFailures().nothrowArrayNewsBeforeFailure = 1;  // the first block is had, the next not
  errno = 0;
  EXPECT_EQ(quill::detail::conf_store_read_stream(stream, &store_), -1);
  EXPECT_EQ(errno, ENOMEM);
  fclose(stream);
  EXPECT_EQ(log_.lines(), std::vector<LogLine>{kCopyRefused});
  EXPECT_STREQ(conf_store_find("A", &store_), "1");
  EXPECT_EQ(conf_store_find("C", &store_), nullptr);
}

// A line longer than a block of the stream needs a larger block.
TEST_F(ConfMemory, LongLineRefusedStopsTheReading) {
  const std::string text = "LONG " + std::string(1024 * 1024, 'v') + "\nAFTER a\nBAD=line\n";
  FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  ASSERT_NE(stream, nullptr);
  allocFailures().nothrowArrayNewsBeforeFailure = 1;
  errno = 0;
  EXPECT_EQ(quill::detail::conf_store_read_stream(stream, &store_), -1);
  EXPECT_EQ(errno, ENOMEM);
  fclose(stream);
  EXPECT_EQ(log_.lines(), std::vector<LogLine>{kCopyRefused});
  EXPECT_EQ(store_.count, 0u);
  EXPECT_EQ(conf_store_find("LONG", &store_), nullptr);
}

// Room for an entry is made before its name is looked up, so the reading
// stops at the definition that finds the store full, even one that would only
// replace a value, and reads no line after it.
TEST_F(ConfMemory, GrowthRefusedStopsTheReadingAtItsDefinition) {
  for (const std::string& refused : {std::string("V20 new"), std::string("V0 again")}) {
    std::string content;
    for (int i = 0; i < 20; ++i) content += "V" + std::to_string(i) + " v\n";
    content += "BAD=before\n" + refused + "\nBAD=after\nV21 later\n";
    const std::string path = writeFile(content);
    ConfStore store;
    log_.clear();
    allocFailures().realloc = true;
    errno = 0;
    EXPECT_EQ(quill::detail::conf_store_read_file(path.c_str(), &store), -1) << refused;
    EXPECT_EQ(errno, ENOMEM);
    allocFailures().realloc = false;
    unlink(path.c_str());
    // The line is quoted with its newline.
    const LogLine invalid = {LOG_USER | LOG_WARNING,
                             "Invalid variable definition BAD=before\n\nExpected a space after "
                             "variable name\n"};
    EXPECT_EQ(log_.lines(), (std::vector<LogLine>{invalid, kGrowthRefused})) << refused;
    EXPECT_EQ(store.count, 20u);
    EXPECT_EQ(store.capacity, 20u);
    for (int i = 0; i < 20; ++i)
      EXPECT_STREQ(conf_store_find(("V" + std::to_string(i)).c_str(), &store), "v");
    EXPECT_EQ(conf_store_find("V20", &store), nullptr);
    EXPECT_EQ(conf_store_find("V21", &store), nullptr);
  }
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
    allocFailures().nothrowArrayNewsBeforeFailure = 0;
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/var/named/run-root");
    CHILD_CHECK(log.lines().size() == 1);
    CHILD_CHECK(log.lines()[0].text == "Unable to form configuration: Cannot allocate memory");
    allocFailures().nothrowArrayNewsBeforeFailure = -1;
    CHILD_CHECK_STREQ(conf_get(NAMED_RUN_ROOT_D), "/srv/named");
  });
}

}  // namespace
