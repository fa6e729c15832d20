// Staging files that a killed writer left beside a file: the next backup or
// replacement of that file clears them, and nothing else.

#include <quill/files/backup.h>
#include <quill/files/replace.h>

#include "tests/support/tool_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using quill::test::bytesOf;
using quill::test::namesIn;
using quill::test::ScratchDir;
using quill::test::writeBytes;
using testing::UnorderedElementsAreArray;

// The backup clears its leftovers also when it has nothing to save. Not a
// staging file that a live writer holds, not a name of another shape, not a
// link of the right shape (nor what it leads to) is ever removed.
TEST(StagingLeftovers, NextWriterClearsOnlyTheAbandonedOnes) {
  ScratchDir dir;
  const std::string zone = dir / "localhost.rev";
  writeBytes(zone, std::string(";") + quill::generatedFileMarker() + "\n");
  const std::vector<std::string> abandoned = {
      ".localhost.rev.saved_by_vex.quill-staging.Ab12Cd",
      ".localhost.rev.quill-staging.zZ9yY8",
  };
  const std::vector<std::string> kept = {
      "localhost.rev",
      ".localhost.rev.quill-staging.Ab12C",
      ".localhost.rev.quill-staging.Ab12Cd7",
      ".localhost.rev.quill-staging.Ab-2Cd",
      ".localhost.rev.backup",
      "localhost.rev.quill-staging.Ab12Cd",
      ".other.rev.quill-staging.Ab12Cd",
      ".localhost.rev.quill-staging.Busy01",
      ".localhost.rev.quill-staging.Link01",
      "precious",
  };
  for (const std::string& name : abandoned) writeBytes(dir / name, "left");
  for (const std::string& name : kept) {
    if (name != "localhost.rev" && name != "precious") writeBytes(dir / name, "left");
  }
  writeBytes(dir / "precious", "keep me");
  ASSERT_EQ(unlink((dir / ".localhost.rev.quill-staging.Link01").c_str()), 0);
  ASSERT_EQ(
      symlink((dir / "precious").c_str(), (dir / ".localhost.rev.quill-staging.Link01").c_str()),
      0);
  // A writer still at work holds its staging file locked.
  const int busy =
      open((dir / ".localhost.rev.quill-staging.Busy01").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(busy, 0);
  ASSERT_EQ(flock(busy, LOCK_EX), 0);

  quill::backupSystemConf(zone.c_str());
  {
    quill::FileReplacement replacement(zone);
    replacement << "new";
    replacement.commit();
  }
  close(busy);

  EXPECT_THAT(namesIn(dir.path()), UnorderedElementsAreArray(kept));
  EXPECT_EQ(bytesOf(dir / "precious"), "keep me");
  EXPECT_EQ(bytesOf(zone), "new");
}

}  // namespace
