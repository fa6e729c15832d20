// Writes the reverse zone of the loop-back network, localhost.rev under the
// name server's chroot directory, naming this host's FQDN as the primary
// server and the contact's domain. Run as root, without arguments. A zone
// that the panel did not write is saved beside it first. Any failure ends
// the run through the fatal-error handler with exit status 1; nothing is
// written before the host name and the configuration have been found usable.

#include <quill/conf/conf.h>
#include <quill/conf/conf_vars.h>
#include <quill/errors/errors.h>
#include <quill/errors/fatal.h>
#include <quill/files/backup.h>
#include <quill/files/replace.h>
#include <quill/log/log.h>
#include <quill/net/fqdn.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

const char kErrorPrefix[] = "Error on configure reverse DNS zone for localhost :";

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(kErrorPrefix + what);
}

// The name as a message may show it: printable ASCII stays, any other byte
// (and the backslash that introduces them) is written as an escape, so that
// a hostile name cannot drive the administrator's terminal.
std::string shown(const std::string& name) {
  std::string text;
  for (const unsigned char c : name) {
    if (c > ' ' && c < 0x7f && c != '\\') {
      text += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789abcdef";
      text += c == '\\' ? std::string("\\\\") : std::string("\\x") + kHex[c >> 4] + kHex[c & 15];
    }
  }
  return text;
}

// Why name cannot stand as the host name in the zone's records, or null when
// it can. BIND checks the names that the SOA and NS records give as host
// names and, by default, refuses to load a primary zone where one is not: so
// every label must be one, letters, digits and hyphens, 1 to 63 of them, a
// hyphen neither first nor last. That also keeps out every byte that the
// zone syntax would read as something else (a blank, a comment, a
// parenthesis, a quote, an escape, a directive or the origin).
const char* hostNameProblem(const std::string& name) {
  if (name.size() > 253) return "longer than 253 characters";
  std::size_t labelStart = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i < name.size() && name[i] != '.') {
      const char c = name[i];
      const bool letterOrDigit =
          (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
      if (!letterOrDigit && c != '-') return "character not allowed in a host name";
      continue;
    }
    if (i == labelStart) return "empty label";
    if (i - labelStart > 63) return "label longer than 63 characters";
    if (name[labelStart] == '-') return "label starts with a hyphen";
    if (name[i - 1] == '-') return "label ends with a hyphen";
    labelStart = i + 1;
  }
  return nullptr;
}

// The FQDN as the records name it, less the dot that the zone adds: one
// trailing dot already makes the name absolute and is written once.
std::string zoneName(const char* fqdn) {
  std::string name(fqdn);
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (const char* problem = hostNameProblem(name))
    fail(" invalid FQDN " + shown(fqdn) + ": " + problem);
  return name;
}

// A configuration file that is there but cannot be used must not send the
// zone to the default chroot directory: only a missing file means defaults.
void requireUsableConfiguration() {
  if (conf_load() == 0 || errno == ENOENT) return;
  const int error = errno;
  fail(std::string(" fail to read configuration file " QUILL_CONF_FILE ": ") +
       (error == EINVAL ? "not a regular file" : strerror(error)));
}

// Owns an open descriptor (or -1) and closes it on every way out.
class Descriptor {
 public:
  Descriptor() = default;
  ~Descriptor() { reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;

  int get() const { return descriptor_; }
  void reset(int descriptor = -1) {
    if (descriptor_ >= 0) close(descriptor_);
    descriptor_ = descriptor;
  }

 private:
  int descriptor_ = -1;
};

// Runs of the tool on one zone take turns: each holds an exclusive lock from
// before it looks at the zone until its new zone is in place, so that a
// hand-edited zone is saved once, not once per run that saw it.
//
// The lock is the file ".localhost.rev.lock" beside the zone, and only the
// tool's own user (root) may ever open it, so that no one else can hold it
// and make runs wait: a run creates it with mode 0600 and refuses it, rather
// than trust it, when anyone else could have made or opened it first: when
// the directory is writable by another user, or the file is no regular file
// (a link planted there is not followed), belongs to another user or is open
// to others. A run waits for the lock at most kLockPatience, looking again
// every kLockPoll, so not even a stuck run holds the others up for ever.
// The holder removes the file before it lets go; a waiter that then finds
// its lock on a file without that name starts again with a new one.
class ZoneLock {
 public:
  explicit ZoneLock(const std::string& zonePath);
  ~ZoneLock();
  ZoneLock(const ZoneLock&) = delete;
  ZoneLock& operator=(const ZoneLock&) = delete;

 private:
  static constexpr std::chrono::seconds kLockPatience{10};
  static constexpr std::chrono::milliseconds kLockPoll{10};

  [[noreturn]] void refuse(const std::string& reason) const {
    fail(" fail to lock " + path_ + ": " + reason);
  }
  bool openLockFile();
  void checkLockFile() const;
  void waitForLock(std::chrono::steady_clock::time_point deadline) const;
  bool lockFileStillNamed() const;

  std::string name_;
  std::string path_;
  Descriptor directory_;
  Descriptor file_;
  bool held_ = false;
};

ZoneLock::ZoneLock(const std::string& zonePath) {
  const std::string::size_type slash = zonePath.rfind('/');
  const std::string directory = zonePath.substr(0, slash);
  name_ = "." + zonePath.substr(slash + 1) + ".lock";
  path_ = directory + "/" + name_;
  directory_.reset(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (directory_.get() < 0) {
    const int error = errno;
    // Without the directory there is no zone to guard, and the zone cannot
    // be written, which the write reports.
    if (error == ENOENT || error == ENOTDIR) return;
    refuse(strerror(error));
  }
  // The directory may let others write (the name server's group, say): a
  // lock file they planted is refused below, never waited on.
  const auto deadline = std::chrono::steady_clock::now() + kLockPatience;
  for (;;) {
    if (!openLockFile()) return;
    checkLockFile();
    waitForLock(deadline);
    if (lockFileStillNamed()) break;
  }
  held_ = true;
}

ZoneLock::~ZoneLock() {
  // The name goes while the lock is still held: a run waiting on this file
  // then finds it nameless and starts over.
  if (held_) unlinkat(directory_.get(), name_.c_str(), 0);
}

// Opens the lock file, creating it if it is missing. False on a read-only
// file system without one: nothing there can change, so runs need not take
// turns, and the backup or the write reports why nothing was done.
bool ZoneLock::openLockFile() {
  for (;;) {
    file_.reset(openat(directory_.get(), name_.c_str(),
                       O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (file_.get() >= 0) return true;
    int error = errno;
    if (error == EEXIST) {
      // Never waits on a named pipe; a link is refused, not followed.
      file_.reset(openat(directory_.get(), name_.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      if (file_.get() >= 0) return true;
      error = errno;
      if (error == ENOENT) continue;  // its holder has just let go
    }
    if (error == EROFS) return false;
    refuse(error == ELOOP ? "not a regular file" : strerror(error));
  }
}

void ZoneLock::checkLockFile() const {
  struct stat info;
  if (fstat(file_.get(), &info) != 0) {
    const int error = errno;
    refuse(strerror(error));
  }
  if (!S_ISREG(info.st_mode)) refuse("not a regular file");
  if (info.st_uid != geteuid()) refuse("owned by another user");
  if ((info.st_mode & 077) != 0) refuse("open to other users");
}

void ZoneLock::waitForLock(std::chrono::steady_clock::time_point deadline) const {
  for (;;) {
    if (flock(file_.get(), LOCK_EX | LOCK_NB) == 0) return;
    const int error = errno;
    if (error == EINTR) continue;
    if (error != EWOULDBLOCK) refuse(strerror(error));
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= left.zero())
      refuse("held by another process for " + std::to_string(kLockPatience.count()) + " seconds");
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kLockPoll));
  }
}

// Whether the locked file is still the one of that name: its last holder
// removes it before letting go, and a run that was waiting on it must not
// hold a lock that the next run, with a new file, does not see.
bool ZoneLock::lockFileStillNamed() const {
  struct stat locked, named;
  if (fstat(file_.get(), &locked) != 0 ||
      fstatat(directory_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    if (error == ENOENT) return false;
    refuse(strerror(error));
  }
  return locked.st_dev == named.st_dev && locked.st_ino == named.st_ino;
}

std::string zoneContent(const std::string& fqdn) {
  std::ostringstream out;
  out << ";" << quill::generatedFileMarker() << "\n"
      << "$TTL    86400\n"
      << "@       IN      SOA     " << fqdn << ". root." << fqdn << ". (\n"
      << "\t\t\t20010622\t\t;Serial\n"
      << "\t\t\t3600\t\t;Refresh\n"
      << "\t\t\t900\t\t;Retry\n"
      << "\t\t\t3600000\t\t;Expire\n"
      << "\t\t\t3600)\t\t;Minimum\n"
      << "\n"
      << "\t\tIN\tNS\t" << fqdn << ".\n"
      << "1\t\tIN\tPTR\tlocalhost.\n";
  return out.str();
}

// The zone is staged beside the old one and renamed over it, so a failed run
// leaves the previous zone whole and a link planted at the path is replaced
// rather than followed. The replacement cleans up after itself before it
// throws, which matters: nothing is unwound on the way to the fatal handler.
void writeZone(const std::string& path, const std::string& content) {
  std::unique_ptr<quill::FileReplacement> zone;
  try {
    zone = std::make_unique<quill::FileReplacement>(path);
  } catch (const quill::SystemError&) {
    fail("fail to create file " + path);
  }
  zone->write(content.data(), static_cast<std::streamsize>(content.size()));
  try {
    zone->commit();
  } catch (const quill::SystemError&) {
    fail("fail to close file" + path);
  }
}

}  // namespace

// Failures leave main as exceptions on purpose: the fatal-error handler
// reports them and sets the exit status.
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int /*argc*/, char** argv) {
  quill::installFatalErrorHandler();
  // A file size limit (ulimit -f) must end the run as an error, not kill it
  // in the middle of a write: ignored, the signal leaves the write failing
  // with EFBIG, and the ordinary error path removes what was written.
  signal(SIGXFSZ, SIG_IGN);
  log_init(nullptr, 3, LOG_USER, LOG_PERROR, argv[0]);

  char fqdn[65];
  if (get_host_fqdn(fqdn, sizeof fqdn) != 0) fail(" fail to detect hostname");
  const std::string name = zoneName(fqdn);
  requireUsableConfiguration();

  const std::string path = std::string(conf_get(NAMED_RUN_ROOT_D)) + "/var/localhost.rev";
  // Static, so that exit() lets go of the lock and removes its file however
  // the run ends: a failure reaches the fatal handler's exit(1) without
  // unwinding main.
  static const ZoneLock lock(path);
  quill::backupSystemConf(path.c_str());
  writeZone(path, zoneContent(name));
  return 0;
}
