#include "tests/support/sandbox.h"

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace quill::test {
namespace {

std::string failure(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::string enterNamespaces() {
  if (geteuid() != 0) return "needs root (mount and UTS namespaces, overlay and tmpfs mounts)";
  if (unshare(CLONE_NEWNS | CLONE_NEWUTS) != 0)
    return failure("unshare(CLONE_NEWNS | CLONE_NEWUTS) refused");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return failure("cannot make the mount tree private");
  // A trial sandbox proves that overlay and tmpfs mounts work here.
  Sandbox trial("sandbox-trial.test");
  if (!trial.ok()) return trial.error();
  return "";
}

}  // namespace

const std::string& sandboxUnavailableReason() {
  static const std::string reason = enterNamespaces();
  return reason;
}

std::string hostsLine(const std::string& fqdn, const std::string& shortName) {
  return "127.0.0.1\tlocalhost\n10.11.12.13\t" + fqdn +
         (shortName.empty() ? "" : "\t" + shortName) + "\n";
}

Sandbox::Sandbox(const std::string& hostName, const std::string& hostsFile) {
  char scratch[] = "/tmp/quill-sandbox-XXXXXX";
  if (mkdtemp(scratch) == nullptr) {
    error_ = failure("mkdtemp");
    return;
  }
  scratch_ = scratch;
  const std::string upper = scratch_ + "/upper", work = scratch_ + "/work";
  mkdir(upper.c_str(), 0755);
  mkdir(work.c_str(), 0755);
  const std::string options = "lowerdir=/etc,upperdir=" + upper + ",workdir=" + work;
  if (mount("overlay", "/etc", "overlay", 0, options.c_str()) != 0) {
    error_ = failure("cannot mount an overlay over /etc");
    return;
  }
  etcMounted_ = true;
  if (mount("tmpfs", "/var", "tmpfs", 0, "mode=0755") != 0) {
    error_ = failure("cannot mount a tmpfs over /var");
    return;
  }
  varMounted_ = true;
  char previous[HOST_NAME_MAX + 1] = {};
  if (gethostname(previous, HOST_NAME_MAX) == 0) previousHostName_ = previous;
  if (sethostname(hostName.data(), hostName.size()) != 0) {
    error_ = failure("sethostname");
    return;
  }
  try {
    writeFile("/etc/hosts", hostsFile.empty() ? "127.0.0.1\tlocalhost\n" : hostsFile);
    writeFile("/etc/nsswitch.conf", "hosts: files\n");
    writeFile("/etc/hostname", hostName + "\n");
    std::filesystem::remove_all("/etc/vex");
  } catch (const std::exception& e) {
    error_ = e.what();
  }
}

Sandbox::~Sandbox() {
  if (!previousHostName_.empty()) sethostname(previousHostName_.data(), previousHostName_.size());
  if (varMounted_) umount2("/var", MNT_DETACH);
  if (etcMounted_) umount2("/etc", MNT_DETACH);
  if (!scratch_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_, ignored);
  }
}

void Sandbox::writeFile(const std::string& path, const std::string& content, unsigned mode) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path);
  chmod(path.c_str(), mode);
}

}  // namespace quill::test
