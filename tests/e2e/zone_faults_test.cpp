// The zone tool under hostile conditions: a full or read-only file system, a
// file it may not read, a link planted at the zone path, and several runs at
// once. In every case the administrator's zone must survive whole.

#include "tests/e2e/zone_tool_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>

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
  expectZoneAndOneBackup(original);
}

// link() and linkat() refused as on a file system without hard links (vfat,
// some FUSE); with `orNoReplace` also renameat2() with RENAME_NOREPLACE, as
// where the file system does not know the flag.
std::vector<SyscallRefusal> withoutHardLinks(bool orNoReplace = false) {
  std::vector<SyscallRefusal> refused = {{SYS_linkat, EPERM}};
#ifdef SYS_link
  refused.push_back({SYS_link, EPERM});
#endif
  if (orNoReplace) refused.push_back({SYS_renameat2, EINVAL, 4, RENAME_NOREPLACE});
  return refused;
}

// Without hard links the copy is renamed to its backup name where nothing is;
// without that either, it is written anew under the name. Either way the zone
// is saved byte for byte under the first free name, and earlier copies stay.
TEST_F(ZoneToolFaults, SavesAHandEditedZoneWithoutHardLinks) {
  makeChrootVar();
  writeBytes(kZoneFile + ".saved_by_vex", "first");
  ToolOptions options;
  options.refusedSyscalls = withoutHardLinks();
  writeBytes(kZoneFile, kHandEdited);
  expectQuietSuccess(run({}, options));
  options.refusedSyscalls = withoutHardLinks(true);
  writeBytes(kZoneFile, kHandEdited + "2");
  expectQuietSuccess(run({}, options));
  expectZone(kZoneFile);
  EXPECT_THAT(namesIn(kChrootVar),
              ElementsAre("localhost.rev", "localhost.rev.saved_by_vex",
                          "localhost.rev.saved_by_vex.1", "localhost.rev.saved_by_vex.2"));
  EXPECT_EQ(bytesOf(kZoneFile + ".saved_by_vex"), "first");
  EXPECT_EQ(bytesOf(kZoneFile + ".saved_by_vex.1"), kHandEdited);
  EXPECT_EQ(bytesOf(kZoneFile + ".saved_by_vex.2"), kHandEdited + "2");
  EXPECT_EQ(modeOf(kZoneFile + ".saved_by_vex.2"), 0600);
}

// A copy written anew under its backup name that runs out of space is
// removed, and the run stops before the zone is touched. The staged copy
// takes the last page; the second finds none.
TEST_F(ZoneToolFaults, FullDiskWhileCopyingUnderTheBackupNameLeavesNoShortCopy) {
  makeChrootVar();
  TinyFileSystem fs(kChrootVar, "8k");
  ASSERT_EQ(fs.error(), "");
  const std::string original = kHandEdited + std::string(3000, 'x');
  writeBytes(kZoneFile, original);
  ToolOptions options;
  options.refusedSyscalls = withoutHardLinks(true);
  expectFatal(run({}, options),
              "Cannot write " + kZoneFile + ".saved_by_vex: " + std::strerror(ENOSPC));
  EXPECT_EQ(bytesOf(kZoneFile), original);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));
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

// An access ACL as the kernel stores it in system.posix_acl_access (and a
// default one in system.posix_acl_default): the owner rw, user daemon (1)
// and the owning group r, mask r, others nothing: the bits read 0640.
std::string aclGivingDaemonRead() {
  std::string acl;
  const auto put = [&acl](std::uint32_t value, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) acl += static_cast<char>(value >> (8 * i) & 0xff);
  };
  put(2, 4);  // version
  const std::uint32_t kAny = 0xffffffff;
  const std::uint32_t entries[][3] = {
      {0x01, 6, kAny}, {0x02, 4, 1}, {0x04, 4, kAny}, {0x10, 4, kAny}, {0x20, 0, kAny}};
  for (const auto& entry : entries) {
    put(entry[0], 2);
    put(entry[1], 2);
    put(entry[2], 4);
  }
  return acl;
}

int setAttribute(const std::string& path, const char* name, const std::string& value) {
  return setxattr(path.c_str(), name, value.data(), value.size(), 0);
}

// A replaced zone keeps what the old one carried besides mode and owner: its
// ACL and its extended attributes, and gains no ACL that the directory would
// hand a new file. An attribute that cannot be carried over stops the run
// and keeps the old zone.
TEST_F(ZoneToolFaults, ReplacedZoneKeepsItsAclAndExtendedAttributes) {
  makeChrootVar();
  writeBytes(kZoneFile, kMarkedZone, 0640);
  if (setAttribute(kZoneFile, "user.panel", "keep me") != 0 ||
      setAttribute(kZoneFile, "system.posix_acl_access", aclGivingDaemonRead()) != 0)
    GTEST_SKIP() << "no ACL or user attributes on /var here: " << std::strerror(errno);
  const auto carried = extendedAttributesOf(kZoneFile);
  ASSERT_EQ(carried.size(), 2u);
  expectQuietSuccess(run({}, ToolOptions{077}));
  expectZone(kZoneFile);
  EXPECT_EQ(extendedAttributesOf(kZoneFile), carried);
  EXPECT_EQ(modeOf(kZoneFile), 0640);

  ASSERT_EQ(removexattr(kZoneFile.c_str(), "system.posix_acl_access"), 0);
  ASSERT_EQ(setAttribute(kChrootVar, "system.posix_acl_default", aclGivingDaemonRead()), 0);
  expectQuietSuccess(run());
  EXPECT_EQ(extendedAttributesOf(kZoneFile),
            (std::map<std::string, std::string>{{"user.panel", "keep me"}}));
  ASSERT_EQ(removexattr(kChrootVar.c_str(), "system.posix_acl_default"), 0);

  // A file capability (version 2, CAP_NET_BIND_SERVICE) may only be set with
  // CAP_SETFCAP, which this run lacks.
  const char kCapability[] = "\x01\x00\x00\x02\x00\x04\x00\x00\0\0\0\0\0\0\0\0\0\0\0\0";
  ASSERT_EQ(setAttribute(kZoneFile, "security.capability",
                         std::string(kCapability, sizeof kCapability - 1)),
            0);
  const auto before = extendedAttributesOf(kZoneFile);
  const std::string zone = bytesOf(kZoneFile);
  ToolOptions options;
  options.withoutSetFileCapability = true;
  expectFatal(run({}, options), kPrefix + "fail to create file " + kZoneFile);
  EXPECT_EQ(bytesOf(kZoneFile), zone);
  EXPECT_EQ(extendedAttributesOf(kZoneFile), before);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));
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

// Runs at once on one hand-edited zone take turns: the zone is saved exactly
// once, by the first, and nothing else is left. A large zone keeps each copy
// long enough for the runs to meet.
TEST_F(ZoneToolFaults, SixteenConcurrentRunsSaveAHandEditedZoneOnce) {
  makeChrootVar();
  const std::string original = kHandEdited + std::string(1 << 20, 'x');
  writeBytes(kZoneFile, original);
  std::vector<ToolRun> runs;
  for (int i = 0; i < 16; ++i) runs.push_back(startTool({QUILL_TOOL}));
  for (ToolRun& started : runs) expectQuietSuccess(finishTool(started));
  expectZoneAndOneBackup(original);
}

const std::string kLockFile = kChrootVar + "/.localhost.rev.lock";

// An exclusive flock on path, taken as any process that may open it can: the
// descriptor that holds it, or -1.
int lockExclusively(const std::string& path) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0 || flock(descriptor, LOCK_EX | LOCK_NB) == 0) return descriptor;
  close(descriptor);
  return -1;
}

// Anyone who may read the zone's directory can lock it, which holds no run
// up. The runs' own lock, held by another process, holds a run up for ten
// seconds at most: it then stops, naming the lock, the zone as it was. Once
// the lock is free the next run saves the zone and removes the lock's file.
TEST_F(ZoneToolFaults, RunWaitsForItsLockTenSecondsAtMost) {
  makeChrootVar();
  writeBytes(kZoneFile, kHandEdited);
  const int directory = lockExclusively(kChrootVar);
  ASSERT_GE(directory, 0);
  writeBytes(kLockFile, "", 0600);
  const int lock = lockExclusively(kLockFile);
  ASSERT_GE(lock, 0);
  const auto start = std::chrono::steady_clock::now();
  const ToolResult result = run();
  const auto waited = std::chrono::steady_clock::now() - start;
  expectFatal(result,
              kPrefix + " fail to lock " + kLockFile + ": held by another process for 10 seconds");
  EXPECT_GE(waited, std::chrono::seconds(10));
  EXPECT_LT(waited, std::chrono::seconds(15));
  EXPECT_EQ(bytesOf(kZoneFile), kHandEdited);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre(".localhost.rev.lock", "localhost.rev"));
  close(lock);
  expectQuietSuccess(run());
  expectZoneAndOneBackup(kHandEdited);
  close(directory);
}

int makeLockFile(mode_t mode, uid_t owner) {
  writeBytes(kLockFile, "", mode);
  return chown(kLockFile.c_str(), owner, owner);
}

// A lock file that anyone but root could have made or opened first is refused
// at once, held or not, and so is any lock in a directory another user may
// write; a link there is not followed, a named pipe not waited on. Nothing
// is saved or written.
TEST_F(ZoneToolFaults, LockThatOthersCouldHoldIsRefusedAtOnce) {
  makeChrootVar();
  writeBytes(kZoneFile, kHandEdited);
  writeBytes("/var/precious", "keep", 0600);
  const struct {
    std::function<int()> plant;
    std::string reason;
  } cases[] = {
      {[] { return makeLockFile(0600, 65534); }, "owned by another user"},
      {[] { return makeLockFile(0644, 0); }, "open to other users"},
      {[] { return symlink("/var/precious", kLockFile.c_str()); }, "not a regular file"},
      {[] { return mkfifo(kLockFile.c_str(), 0600); }, "not a regular file"},
  };
  for (const auto& planted : cases) {
    ASSERT_EQ(planted.plant(), 0) << planted.reason;
    const int held = lockExclusively(kLockFile);
    expectFatal(run(), kPrefix + " fail to lock " + kLockFile + ": " + planted.reason);
    EXPECT_EQ(bytesOf(kZoneFile), kHandEdited);
    EXPECT_EQ(bytesOf("/var/precious"), "keep");
    if (held >= 0) close(held);
    unlink(kLockFile.c_str());
    ASSERT_EQ(chmod(kChrootVar.c_str(), 0755), 0);
    EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));
  }
  // A directory the name server's group may write is no reason to stop.
  ASSERT_EQ(chmod(kChrootVar.c_str(), 0775), 0);
  EXPECT_EQ(run().exitCode, 0);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev", "localhost.rev.saved_by_vex"));
}

// A run that cannot make its lock stops before anything is looked at.
TEST_F(ZoneToolFaults, LockThatCannotBeMadeStopsTheRun) {
  makeChrootVar();
  writeBytes(kZoneFile, kHandEdited);
  ASSERT_EQ(chmod(kChrootVar.c_str(), 0555), 0);
  ToolOptions options;
  options.withoutFileAccessOverride = true;
  expectFatal(run({}, options),
              kPrefix + " fail to lock " + kLockFile + ": " + std::strerror(EACCES));
  ASSERT_EQ(chmod(kChrootVar.c_str(), 0755), 0);
  EXPECT_EQ(bytesOf(kZoneFile), kHandEdited);
  EXPECT_THAT(namesIn(kChrootVar), ElementsAre("localhost.rev"));
}

// Kills the started tool with SIGKILL as the events-th change in the watched
// directory (non-blocking) is reported, unless it ends first. Returns whether
// the kill was sent.
bool killAtEvent(int watch, const ToolRun& started, int events) {
  int seen = 0;
  for (bool ended = false;;) {
    alignas(inotify_event) char buffer[4096];
    ssize_t got;
    while ((got = read(watch, buffer, sizeof buffer)) > 0) {
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        if (++seen == events) return kill(started.pid, SIGKILL) == 0;
      }
    }
    // The tool writes to standard error only when it fails, and the pipe
    // shows its end when it exits: either way it is no longer at work, once
    // the changes it made before are all counted.
    if (ended) return false;
    pollfd ready[2] = {{watch, POLLIN, 0}, {started.errPipe, POLLIN, 0}};
    if (poll(ready, 2, -1) < 0 && errno != EINTR) return false;
    ended = ready[1].revents != 0;
  }
}

// Whatever a killed run may leave besides the zone and its copies: the runs'
// lock file, or a staging file, a hidden name of the zone's or of its copy's
// and six letters or digits.
bool isLeftoverName(const std::string& name) {
  if (name == ".localhost.rev.lock") return true;
  static const char kLettersAndDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  for (const std::string prefix :
       {".localhost.rev.quill-staging.", ".localhost.rev.saved_by_vex.quill-staging."}) {
    if (name.size() == prefix.size() + 6 && name.compare(0, prefix.size(), prefix) == 0 &&
        name.find_first_not_of(kLettersAndDigits, prefix.size()) == std::string::npos)
      return true;
  }
  return false;
}

// Runs killed at every step of their work, one step later each time: no
// copy under a backup name is ever short, the zone is the old or the new one,
// and what a killed run leaves is at most a hidden staging file and the lock
// file, which the next complete run clears away.
TEST_F(ZoneToolFaults, KilledRunsNeverLeaveAShortBackup) {
  makeChrootVar();
  const std::string original = kHandEdited + std::string(2 << 20, 'x');
  writeBytes(kZoneFile, original);
  const int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ASSERT_GE(watch, 0) << std::strerror(errno);
  ASSERT_GE(inotify_add_watch(
                watch, kChrootVar.c_str(),
                IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE),
            0);
  int killed = 0;
  std::set<std::string> savedCopies;
  for (int events = 1; events < 100; ++events) {
    ToolRun started = startTool({QUILL_TOOL});
    const bool killSent = killAtEvent(watch, started, events);
    const ToolResult result = finishTool(started);
    if (!killSent) {
      expectQuietSuccess(result);
      break;
    }
    if (result.exitCode == -1) ++killed;
    for (const std::string& name : namesIn(kChrootVar)) {
      if (name == "localhost.rev") {
        const std::string zone = bytesOf(kZoneFile);
        EXPECT_TRUE(zone == original || zone == expectedZone("a.b")) << "a mixed zone";
      } else if (name.rfind("localhost.rev.saved_by_vex", 0) == 0) {
        // A backup never changes once it has its name: each is read once.
        if (!savedCopies.insert(name).second) continue;
        const std::string copy = bytesOf(kChrootVar + "/" + name);
        EXPECT_EQ(copy.size(), original.size()) << name << " after event " << events;
        EXPECT_TRUE(copy == original) << name;
      } else {
        EXPECT_TRUE(isLeftoverName(name)) << name << " after event " << events;
      }
    }
    // The next run starts from a hand-edited zone again.
    if (bytesOf(kZoneFile) != original) writeBytes(kZoneFile, original);
    char drained[4096];
    while (read(watch, drained, sizeof drained) > 0) {
    }
  }
  close(watch);
  EXPECT_GE(killed, 1) << "every run ended before it could be killed";
  expectZone(kZoneFile);
  for (const std::string& name : namesIn(kChrootVar)) {
    if (name == "localhost.rev") continue;
    EXPECT_THAT(name, StartsWith("localhost.rev.saved_by_vex"));
    if (savedCopies.insert(name).second) {
      EXPECT_TRUE(bytesOf(kChrootVar + "/" + name) == original) << name;
    }
  }
}

}  // namespace
}  // namespace quill::test
