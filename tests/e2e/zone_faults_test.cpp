// The zone tool under hostile conditions: a full or read-only file system, a
// file it may not read, a link planted at the zone path, and several runs at
// once. In every case the administrator's zone must survive whole.

#include "tests/e2e/zone_tool_fixture.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quill::test {
namespace {

using testing::ElementsAre;
using testing::StartsWith;

// The chroot's var directory made read-only by a bind mount over itself.
class ReadOnlyVar {
 public:
  ReadOnlyVar() {
    if (mount(kChrootVar.c_str(), kChrootVar.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        mount(nullptr, kChrootVar.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
      error_ = std::string("cannot make the var directory read-only: ") + std::strerror(errno);
  }
  ~ReadOnlyVar() { umount2(kChrootVar.c_str(), MNT_DETACH); }
  const std::string& error() const { return error_; }

 private:
  std::string error_;
};

using ZoneToolFaults = ZoneTool;

TEST_F(ZoneToolFaults, FullDiskDuringBackupKeepsTheOriginalAndTheZone) {
  makeChrootVar();
  TinyFileSystem fs(kChrootVar, "8k");
  ASSERT_EQ(fs.error(), "");
  // Two pages fill the file system: the copy cannot get a single byte.
  const std::string original = kHandEdited + std::string(6000, 'x');
  writeBytes(kZoneFile, original);
  const ToolResult result = run();
  expectFatal(result, "Cannot write " + kZoneFile + ".saved_by_vex: " + std::strerror(ENOSPC));
  EXPECT_EQ(bytesOf(kZoneFile), original);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));
}

TEST_F(ZoneToolFaults, FullDiskDuringZoneWriteKeepsTheOldZone) {
  makeChrootVar();
  TinyFileSystem fs(kChrootVar, "4k");
  ASSERT_EQ(fs.error(), "");
  // The panel's own zone (no backup needed) fills the one page there is.
  const std::string old = kMarkedZone + std::string(4000, ';');
  writeBytes(kZoneFile, old);
  const ToolResult result = run();
  expectFatal(result, kPrefix + "fail to close file" + kZoneFile);
  EXPECT_EQ(bytesOf(kZoneFile), old);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));
}

// A file size limit ends the run with the write's own error instead of
// killing it mid-copy; nothing partial is left, and the next run saves the
// zone under the first name.
TEST_F(ZoneToolFaults, FileSizeLimitIsAnErrorNotADeath) {
  makeChrootVar();
  const std::string original = kHandEdited + std::string(4000, 'x');
  writeBytes(kZoneFile, original);
  ToolOptions limited;
  limited.fileSizeLimit = 1024;
  expectFatal(run({}, limited),
              "Cannot write " + kZoneFile + ".saved_by_vex: " + std::strerror(EFBIG));
  EXPECT_EQ(bytesOf(kZoneFile), original);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));

  expectQuietSuccess(run());
  expectZone(kZoneFile);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev", "localhost.rev.saved_by_vex"));
  EXPECT_EQ(bytesOf(kZoneFile + ".saved_by_vex"), original);
}

TEST_F(ZoneToolFaults, ReadOnlyDirectoryStopsTheBackupBeforeTheZone) {
  makeChrootVar();
  writeBytes(kZoneFile, kHandEdited);
  ReadOnlyVar readOnly;
  ASSERT_EQ(readOnly.error(), "");
  const ToolResult result = run();
  expectFatal(result, "Cannot write " + kZoneFile + ".saved_by_vex: " + std::strerror(EROFS));
  EXPECT_EQ(bytesOf(kZoneFile), kHandEdited);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));
}

TEST_F(ZoneToolFaults, ReadOnlyDirectoryFailsToCreateTheZone) {
  makeChrootVar();
  writeBytes(kZoneFile, kMarkedZone);
  ReadOnlyVar readOnly;
  ASSERT_EQ(readOnly.error(), "");
  const ToolResult result = run();
  expectFatal(result, kPrefix + "fail to create file " + kZoneFile);
  EXPECT_EQ(bytesOf(kZoneFile), kMarkedZone);
}

TEST_F(ZoneToolFaults, UnreadableZoneWithoutAccessOverrideIsFatal) {
  makeChrootVar();
  writeBytes(kZoneFile, kHandEdited, 0);
  ToolOptions options;
  options.withoutFileAccessOverride = true;
  const ToolResult result = run({}, options);
  EXPECT_EQ(result.err,
            "Unexpected error: " + kZoneFile + ": open failed: " + std::strerror(EACCES) + "\n");
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(bytesOf(kZoneFile), kHandEdited);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));
}

TEST_F(ZoneToolFaults, LinkAtTheZonePathIsReplacedNotFollowed) {
  makeChrootVar();
  writeBytes("/var/precious", kHandEdited, 0600);
  ASSERT_EQ(symlink("/var/precious", kZoneFile.c_str()), 0);
  expectQuietSuccess(run());
  struct stat info;
  ASSERT_EQ(lstat(kZoneFile.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  expectZone(kZoneFile);
  EXPECT_EQ(bytesOf("/var/precious"), kHandEdited);
  EXPECT_EQ(modeOf("/var/precious"), 0600);
  // What the link showed was not the panel's: it is saved like any hand edit.
  EXPECT_EQ(bytesOf(kZoneFile + ".saved_by_vex"), kHandEdited);
}

TEST_F(ZoneToolFaults, LinkToADeviceIsReplacedWithoutReadingOrSavingIt) {
  makeChrootVar();
  ASSERT_EQ(symlink("/dev/null", kZoneFile.c_str()), 0);
  expectQuietSuccess(run());
  expectZone(kZoneFile);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));
  struct stat info;
  ASSERT_EQ(stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));
}

TEST_F(ZoneToolFaults, DanglingLinkAtTheZonePathCreatesNothingElsewhere) {
  makeChrootVar();
  ASSERT_EQ(symlink("/var/planted", kZoneFile.c_str()), 0);
  expectQuietSuccess(run());
  expectZone(kZoneFile);
  EXPECT_FALSE(exists("/var/planted"));
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));
}

TEST_F(ZoneToolFaults, ReplacedZoneKeepsItsModeAndOwner) {
  makeChrootVar();
  writeBytes(kZoneFile, kMarkedZone, 0640);
  ASSERT_EQ(chown(kZoneFile.c_str(), 25, 26), 0);
  expectQuietSuccess(run({}, ToolOptions{077}));
  expectZone(kZoneFile);
  struct stat info;
  ASSERT_EQ(stat(kZoneFile.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(info.st_uid, 25u);
  EXPECT_EQ(info.st_gid, 26u);
}

TEST_F(ZoneToolFaults, EightConcurrentRunsLeaveOneValidZone) {
  makeChrootVar();
  writeBytes(kZoneFile, kHandEdited);
  std::vector<ToolRun> runs;
  for (int i = 0; i < 8; ++i) runs.push_back(startTool({QUILL_TOOL}));
  for (ToolRun& started : runs) expectQuietSuccess(finishTool(started));
  expectZone(kZoneFile);
  // Runs that still saw the hand-edited zone each saved it; nothing else may
  // be left, and no staging file either.
  const std::vector<std::string> names = namesIn(kChrootVar);
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[0], "localhost.rev");
  for (std::size_t i = 1; i < names.size(); ++i) {
    EXPECT_THAT(names[i], StartsWith("localhost.rev.saved_by_vex"));
    EXPECT_EQ(bytesOf(kChrootVar + "/" + names[i]), kHandEdited) << names[i];
  }
}

}  // namespace
}  // namespace quill::test
