// Writes the reverse zone of the loop-back network, localhost.rev under the
// name server's chroot directory, naming this host's FQDN as the primary
// server and the contact's domain. Run as root, without arguments. A zone
// that the panel did not write is saved beside it first. Any failure ends
// the run through the fatal-error handler with exit status 1.

#include <quill/conf/conf.h>
#include <quill/conf/conf_vars.h>
#include <quill/errors/errors.h>
#include <quill/errors/fatal.h>
#include <quill/files/backup.h>
#include <quill/files/replace.h>
#include <quill/log/log.h>
#include <quill/net/fqdn.h>

#include <syslog.h>

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

const char kErrorPrefix[] = "Error on configure reverse DNS zone for localhost :";

std::string zoneContent(const char* fqdn) {
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
    throw std::runtime_error(std::string(kErrorPrefix) + "fail to create file " + path);
  }
  zone->write(content.data(), static_cast<std::streamsize>(content.size()));
  try {
    zone->commit();
  } catch (const quill::SystemError&) {
    throw std::runtime_error(std::string(kErrorPrefix) + "fail to close file" + path);
  }
}

}  // namespace

// Failures leave main as exceptions on purpose: the fatal-error handler
// reports them and sets the exit status.
// NOLINTNEXTLINE(bugprone-exception-escape)
int main(int /*argc*/, char** argv) {
  quill::installFatalErrorHandler();
  log_init(nullptr, 3, LOG_USER, LOG_PERROR, argv[0]);

  char fqdn[65];
  if (get_host_fqdn(fqdn, sizeof fqdn) != 0)
    throw std::runtime_error(std::string(kErrorPrefix) + " fail to detect hostname");

  const std::string path = std::string(conf_get(NAMED_RUN_ROOT_D)) + "/var/localhost.rev";
  quill::backupSystemConf(path.c_str());
  writeZone(path, zoneContent(fqdn));
  return 0;
}
