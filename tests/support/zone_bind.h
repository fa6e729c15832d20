#pragma once
// BIND for the zone tool's tests: the zone the tool should write, BIND's own
// zone checker, and a real name server on the loop-back address.

#include "tests/support/tool_files.h"
#include "tests/support/tool_run.h"

#include <sys/types.h>

#include <string>

namespace quill::test {

// The zone file the tool writes for fqdn, byte for byte.
std::string expectedZone(const std::string& fqdn);

// Runs named-checkzone for the loop-back reverse zone on the file, refusing
// what named refuses to load as a primary zone: names that are no host
// names fail the check ("-k fail"), where the checker alone only warns.
ToolResult checkZone(const std::string& zoneFile);

// A named serving one reverse zone file on 127.0.0.1 and a free high port,
// stopped with SIGTERM (and waited for) on destruction. Runs as root.
class NamedServer {
 public:
  explicit NamedServer(const std::string& zoneFile);
  ~NamedServer();

  NamedServer(const NamedServer&) = delete;
  NamedServer& operator=(const NamedServer&) = delete;

  // Empty when the server answers queries; otherwise what went wrong.
  const std::string& error() const { return error_; }

  // dig's short answer to "dig -p <port> @127.0.0.1 <name> <type>".
  ToolResult query(const std::string& name, const std::string& type) const;

 private:
  ScratchDir dir_;
  int port_ = 0;
  ToolRun run_;
  std::string error_;
};

}  // namespace quill::test
