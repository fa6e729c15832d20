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
#include <syslog.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

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

// Runs of the tool on one zone take turns: each holds an exclusive lock on the
// zone's directory from before it looks at the zone until its new zone is in
// place, so that a hand-edited zone is saved once, not once per run that saw
// it. A second run waits; the kernel releases the lock however a run ends.
// Locking the directory itself creates nothing and opens nothing that a
// planted link could lead elsewhere.
class ZoneDirectoryLock {
 public:
  explicit ZoneDirectoryLock(const std::string& zonePath) {
    const std::string directory = zonePath.substr(0, zonePath.rfind('/'));
    descriptor_ = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = descriptor_ < 0 ? errno : 0;
    // Without the directory there is no zone to guard, and the zone cannot
    // be written, which the write reports.
    if (error == ENOENT || error == ENOTDIR) return;
    while (error == 0 && flock(descriptor_, LOCK_EX) != 0) {
      if (errno != EINTR) error = errno;
    }
    if (error == 0) return;
    if (descriptor_ >= 0) close(descriptor_);
    fail(" fail to lock directory " + directory + ": " + strerror(error));
  }
  ~ZoneDirectoryLock() {
    if (descriptor_ >= 0) close(descriptor_);
  }
  ZoneDirectoryLock(const ZoneDirectoryLock&) = delete;
  ZoneDirectoryLock& operator=(const ZoneDirectoryLock&) = delete;

 private:
  int descriptor_ = -1;
};

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
  const ZoneDirectoryLock lock(path);
  quill::backupSystemConf(path.c_str());
  writeZone(path, zoneContent(name));
  return 0;
}
