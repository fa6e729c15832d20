#include <quill/errors/errors.h>
#include <quill/files/replace.h>

#include "tests/files/failing_fsync.h"
#include "tests/support/tool_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using quill::test::bytesOf;
using quill::test::modeOf;
using quill::test::namesIn;
using quill::test::ScratchDir;
using quill::test::writeBytes;
using testing::ElementsAre;
using testing::StartsWith;

std::size_t openDescriptors() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

class FileReplacementTest : public testing::Test {
 protected:
  ScratchDir dir;
  const std::string target = dir / "localhost.rev";
};

TEST_F(FileReplacementTest, NewFileGetsTheModeTheUmaskAllows) {
  quill::test::withUmask(027, [&] {
    quill::FileReplacement file(target);
    file << "new\n";
    file.commit();
  });
  EXPECT_EQ(bytesOf(target), "new\n");
  EXPECT_EQ(modeOf(target), 0640);
  EXPECT_THAT(namesIn(dir.path()), ElementsAre("localhost.rev"));
}

TEST_F(FileReplacementTest, TargetIsUntouchedUntilCommit) {
  writeBytes(target, "old");
  {
    quill::FileReplacement file(target);
    file << "new";
    file.flush();
    EXPECT_EQ(bytesOf(target), "old");
    EXPECT_EQ(namesIn(dir.path()).size(), 2u);
  }
  // Abandoned without commit: the old content stays, the staging file goes.
  EXPECT_EQ(bytesOf(target), "old");
  EXPECT_THAT(namesIn(dir.path()), ElementsAre("localhost.rev"));
}

TEST_F(FileReplacementTest, KeepsTheModeAndOwnerOfTheReplacedFile) {
  writeBytes(target, "old", 0604);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(target.c_str(), 1234, 5678), 0);
  }
  quill::test::withUmask(077, [&] {
    quill::FileReplacement file(target);
    file << "new";
    file.commit();
  });
  struct stat info;
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(bytesOf(target), "new");
  EXPECT_EQ(info.st_mode & 07777, 0604u);
  if (root) {
    EXPECT_EQ(info.st_uid, 1234u);
    EXPECT_EQ(info.st_gid, 5678u);
  }
}

// The staged content of a file that only its owner may read is never open
// to others, not even before commit().
TEST_F(FileReplacementTest, StagedContentIsNeverLooserThanTheTarget) {
  writeBytes(target, "old secret", 0600);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(target.c_str(), 1234, 5678), 0);
  }
  quill::test::withUmask(022, [&] {
    quill::FileReplacement file(target);
    // More than the stream buffers: part of it is on disk before commit().
    file << std::string(10000, 's');
    file.flush();
    const std::vector<std::string> names = namesIn(dir.path());
    ASSERT_EQ(names.size(), 2u);
    const std::string staged = dir / (names[0] == "localhost.rev" ? names[1] : names[0]);
    EXPECT_EQ(bytesOf(staged).size(), 10000u);
    struct stat info;
    ASSERT_EQ(lstat(staged.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    if (root) {
      EXPECT_EQ(info.st_uid, 1234u);
      EXPECT_EQ(info.st_gid, 5678u);
    }
    file.commit();
  });
  EXPECT_EQ(bytesOf(target), std::string(10000, 's'));
  EXPECT_EQ(modeOf(target), 0600);
}

// The content is on the disk before the rename, and the rename itself once
// commit() returns. Children that a program of the panel starts meanwhile
// must not inherit any of the descriptors.
TEST_F(FileReplacementTest, SyncsTheContentThenTheDirectory) {
  quill::FileReplacement file(target);
  file << "new";
  quill::test::forgetSyncedDescriptors();
  file.commit();
  const auto& synced = quill::test::syncedDescriptors();
  ASSERT_EQ(synced.size(), 2u);
  EXPECT_THAT(synced[0].path, StartsWith(dir / ".localhost.rev."));
  EXPECT_EQ(synced[1].path, dir.path());
  for (const auto& descriptor : synced)
    EXPECT_TRUE(descriptor.flags & FD_CLOEXEC) << descriptor.path;
}

TEST_F(FileReplacementTest, ReplacesALinkInsteadOfFollowingIt) {
  const std::string elsewhere = dir / "precious";
  writeBytes(elsewhere, "keep me", 0600);
  ASSERT_EQ(symlink(elsewhere.c_str(), target.c_str()), 0);
  quill::test::withUmask(022, [&] {
    quill::FileReplacement file(target);
    file << "new";
    file.commit();
  });
  EXPECT_EQ(bytesOf(elsewhere), "keep me");
  EXPECT_EQ(modeOf(elsewhere), 0600);
  struct stat info;
  ASSERT_EQ(lstat(target.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0644u);
  EXPECT_EQ(bytesOf(target), "new");
}

TEST_F(FileReplacementTest, MissingDirectoryRaisesNoSuchFile) {
  const std::string nowhere = dir / "gone/localhost.rev";
  try {
    quill::FileReplacement file(nowhere);
    FAIL() << "no error raised";
  } catch (const quill::ExSystemError<ENOENT>& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot create a file beside " + nowhere + ": " + std::strerror(ENOENT));
  }
}

TEST_F(FileReplacementTest, FailedRenameRemovesTheStagingFile) {
  // A non-empty directory in the target's place cannot be renamed over.
  ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
  writeBytes(target + "/inside", "x");
  const std::size_t descriptorsBefore = openDescriptors();
  quill::FileReplacement file(target);
  file << "new";
  try {
    file.commit();
    FAIL() << "no error raised";
  } catch (const quill::SystemError& e) {
    EXPECT_EQ(e.errorNumber, EISDIR);
    EXPECT_EQ(std::string(e.what()), "Cannot replace " + target + ": " + std::strerror(EISDIR));
  }
  EXPECT_THAT(namesIn(dir.path()), ElementsAre("localhost.rev"));
  EXPECT_EQ(openDescriptors(), descriptorsBefore);
  // A failed replacement stays failed.
  EXPECT_THROW(file.commit(), quill::SystemError);
}

TEST_F(FileReplacementTest, FullDiskLeavesTheOldContentWhole) {
  const std::string small = dir / "small";
  ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
  quill::test::TinyFileSystem fs(small, "4k");
  if (!fs.error().empty()) GTEST_SKIP() << fs.error();
  const std::string file = small + "/localhost.rev";
  const std::string old(4000, 'o');
  writeBytes(file, old);
  quill::FileReplacement replacement(file);
  // Nothing is flushed before commit(), which therefore sees the error.
  replacement << std::string(300, 'n') << '\n';
  try {
    replacement.commit();
    FAIL() << "no error raised";
  } catch (const quill::SystemError& e) {
    EXPECT_EQ(e.errorNumber, ENOSPC);
  }
  EXPECT_EQ(bytesOf(file), old);
  EXPECT_THAT(namesIn(small), ElementsAre("localhost.rev"));
}

TEST_F(FileReplacementTest, CommitTwiceKeepsTheFirstResult) {
  quill::FileReplacement file(target);
  file << "once";
  file.commit();
  file.commit();
  EXPECT_EQ(bytesOf(target), "once");
}

}  // namespace
