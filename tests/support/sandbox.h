#pragma once
// A throwaway root file system view for tests that must touch /etc and /var.
//
// enterPrivateNamespaces() moves the calling process (which must still be
// single-threaded: call it from main or a suite set-up) into new mount and UTS
// namespaces with private propagation; from then on nothing this process
// mounts or names is seen by the machine. A Sandbox then lays an overlay over
// /etc (the machine's /etc below, a scratch directory above), a tmpfs over
// /var, sets the host name and writes /etc/hosts and an /etc/nsswitch.conf
// that resolves host names from files only. Its destructor undoes the mounts,
// so every test starts from the machine's own /etc, an empty /var and the
// host name it found.
// Child processes started while a Sandbox lives see the same view.

#include <string>

#include <gtest/gtest.h>

namespace quill::test {

// Empty when this process can have the sandbox, otherwise why not (not root,
// namespaces refused, overlay or tmpfs not mountable). Enters the namespaces
// on first use.
const std::string& sandboxUnavailableReason();

class Sandbox {
 public:
  // hostsFile is written to /etc/hosts as given; empty means a file with the
  // loopback lines only. Check ok() (or use QUILL_SANDBOX) before relying on
  // it.
  explicit Sandbox(const std::string& hostName, const std::string& hostsFile = "");
  ~Sandbox();

  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // Writes a file inside the sandbox, creating missing directories.
  static void writeFile(const std::string& path, const std::string& content, unsigned mode = 0644);

 private:
  std::string scratch_;
  std::string error_;
  std::string previousHostName_;
  bool etcMounted_ = false;
  bool varMounted_ = false;
};

// "127.0.0.1 localhost\n<ip> <fqdn> <short>\n", the usual shape of a
// server's /etc/hosts.
std::string hostsLine(const std::string& fqdn, const std::string& shortName);

}  // namespace quill::test

// Skips the current test, with the reason, when no sandbox can be had here.
#define QUILL_REQUIRE_SANDBOX()                                                     \
  do {                                                                              \
    const std::string& quillSandboxWhy = ::quill::test::sandboxUnavailableReason(); \
    if (!quillSandboxWhy.empty()) GTEST_SKIP() << quillSandboxWhy;                  \
  } while (0)
