// Failure paths of the file code under real conditions: no descriptor left,
// a file system without free inodes, a read-only file system. Each case
// checks the exact error and that nothing was left behind or lost: the
// directory holds what it held, the original file is whole, no descriptor
// stays open.

#include <quill/conf/detail/conf_store.h>
#include <quill/errors/errors.h>
#include <quill/files/backup.h>
#include <quill/files/replace.h>
#include <quill/files/tmpfile.h>
#include <quill/log/log.h>

#include "tests/faults/fault_support.h"
#include "tests/support/proc_count.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>

#include <stdarg.h>
#include <stdio.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

namespace quill::test {
namespace {

const char kHandEdited[] = "; edited by hand\n@ IN SOA ns. root. (1 2 3 4 5)\n";

class NoDescriptorLeft : public ::testing::Test {
 protected:
  void SetUp() override {
    // UndefinedBehaviorSanitizer's type check probes memory through a pipe it
    // opens for each probe; with no descriptor left it reports a type
    // mismatch that is not there. The plain and memcheck runs cover these.
    if (underSanitizers())
      GTEST_SKIP() << "the sanitizers' run-time needs free descriptors to check types";
    ASSERT_FALSE(dir_.path().empty());
    zone_ = dir_.path() + "/localhost.rev";
    writeContent(zone_, kHandEdited);
    before_ = listing(dir_.path());
    descriptors_ = openDescriptorCount();
  }

  void expectNothingChanged() {
    EXPECT_EQ(listing(dir_.path()), before_);
    EXPECT_EQ(contentOf(zone_), kHandEdited);
    EXPECT_EQ(openDescriptorCount(), descriptors_);
  }

  ScratchDir dir_;
  std::string zone_;
  std::vector<std::string> before_;
  int descriptors_ = 0;
};

TEST_F(NoDescriptorLeft, ReadFileRaisesTooManyOpenFiles) {
  std::string raised;
  {
    DescriptorLimit limit(0);
    raised = raisedBy([&] { readFile(zone_); });
  }
  EXPECT_EQ(raised, "quill::SystemError: " + zone_ + ": open failed: Too many open files");
  expectNothingChanged();
}

TEST_F(NoDescriptorLeft, TemporaryFilesRaiseTheMkstempError) {
  // memcheck only imitates the descriptor limit: the kernel has created the
  // file before memcheck refuses its descriptor, so a file would be left.
  if (underMemcheck())
    GTEST_SKIP() << "memcheck imitates the descriptor limit after the file exists";
  std::string created, stream;
  {
    DescriptorLimit limit(0);
    created = raisedBy([&] { createTempFile(dir_.path() + "/tmp."); });
    stream = raisedBy([&] { TmpFile file(dir_.path() + "/tmp."); });
  }
  EXPECT_EQ(created, "quill::SystemError: mkstemp() failed: Too many open files");
  EXPECT_EQ(stream, created);
  expectNothingChanged();
}

TEST_F(NoDescriptorLeft, ReplacementRaisesBeforeTouchingTheTarget) {
  // memcheck only imitates the descriptor limit: the kernel has created the
  // file before memcheck refuses its descriptor, so a file would be left.
  if (underMemcheck())
    GTEST_SKIP() << "memcheck imitates the descriptor limit after the file exists";
  std::string raised;
  {
    DescriptorLimit limit(0);
    raised = raisedBy([&] { FileReplacement replacement(zone_); });
  }
  EXPECT_EQ(raised,
            "quill::SystemError: Cannot create a file beside " + zone_ + ": Too many open files");
  expectNothingChanged();
}

// The backup ends the process; it runs in a child that reports how it ended.
TEST_F(NoDescriptorLeft, BackupThatCannotReadEndsTheProcess) {
  const std::string ended = terminationOf([&] {
    DescriptorLimit limit(0);
    backupSystemConf(zone_.c_str());
  });
  EXPECT_EQ(ended,
            "terminated by quill::SystemError: " + zone_ + ": open failed: Too many open files");
  expectNothingChanged();
}

std::vector<std::string>& confLog() {
  static std::vector<std::string> lines;
  return lines;
}

__attribute__((format(printf, 2, 3))) void recordConfLog(int level, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  confLog().push_back(std::to_string(level) + " " + text);
}

TEST_F(NoDescriptorLeft, ConfigurationReaderFailsAndLogsTheReason) {
  writeContent(zone_, "NAMED_RUN_ROOT_D /srv/named\n");
  auto* const savedLog = log_message;
  log_message = recordConfLog;
  confLog().clear();
  int result = 0, error = 0;
  {
    quill::detail::ConfStore store;
    DescriptorLimit limit(0);
    result = quill::detail::conf_store_read_file(zone_.c_str(), &store);
    error = errno;
    EXPECT_EQ(store.count, 0u);
  }
  log_message = savedLog;
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, EMFILE);
  EXPECT_EQ(confLog(), std::vector<std::string>{"12 unable to open configuration file " + zone_ +
                                                ": Too many open files\n"});
  EXPECT_EQ(openDescriptorCount(), descriptors_);
}

// A tmpfs whose inodes are all taken: any new file fails with ENOSPC, while
// existing files stay readable.
class NoInodeLeft : public ::testing::Test {
 protected:
  void SetUp() override {
    QUILL_REQUIRE_SANDBOX();
    mount_ = std::make_unique<ScratchMount>("size=256k,nr_inodes=16,mode=0755");
    ASSERT_TRUE(mount_->ok()) << mount_->error();
    zone_ = mount_->path() + "/localhost.rev";
    writeContent(zone_, kHandEdited);
    ASSERT_EQ(mount_->useUpInodes(), "");
    before_ = listing(mount_->path());
    descriptors_ = openDescriptorCount();
  }

  void expectNothingChanged() {
    EXPECT_EQ(listing(mount_->path()), before_);
    EXPECT_EQ(contentOf(zone_), kHandEdited);
    EXPECT_EQ(openDescriptorCount(), descriptors_);
  }

  std::unique_ptr<ScratchMount> mount_;
  std::string zone_;
  std::vector<std::string> before_;
  int descriptors_ = 0;
};

TEST_F(NoInodeLeft, TemporaryFileRaisesNoSpace) {
  EXPECT_EQ(raisedBy([&] { createTempFile(mount_->path() + "/tmp."); }),
            "quill::SystemError: mkstemp() failed: No space left on device");
  expectNothingChanged();
}

TEST_F(NoInodeLeft, ReplacementRaisesNoSpace) {
  EXPECT_EQ(
      raisedBy([&] { FileReplacement replacement(zone_); }),
      "quill::SystemError: Cannot create a file beside " + zone_ + ": No space left on device");
  expectNothingChanged();
}

TEST_F(NoInodeLeft, BackupEndsTheProcessAndKeepsTheOriginal) {
  EXPECT_EQ(terminationOf([&] { backupSystemConf(zone_.c_str()); }),
            "terminated by quill::SystemError: Cannot write " + zone_ +
                ".saved_by_vex: No space left on device");
  expectNothingChanged();
}

TEST(ReadOnlyFileSystem, TemporaryFileRaisesReadOnly) {
  QUILL_REQUIRE_SANDBOX();
  ScratchMount mount("size=64k,mode=0755");
  ASSERT_TRUE(mount.ok()) << mount.error();
  ASSERT_EQ(mount.makeReadOnly(), "");
  const int descriptors = openDescriptorCount();
  EXPECT_EQ(raisedBy([&] { TmpFile file(mount.path() + "/tmp."); }),
            "quill::SystemError: mkstemp() failed: Read-only file system");
  EXPECT_EQ(listing(mount.path()), std::vector<std::string>{});
  EXPECT_EQ(openDescriptorCount(), descriptors);
}

}  // namespace
}  // namespace quill::test
