#include "tests/support/sandbox.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace {

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// The tests of the tool rely on this helper to keep the machine's files out
// of reach; prove that what it writes is gone once it is destroyed.
TEST(Sandbox, WritesAreConfinedAndUndone) {
  QUILL_REQUIRE_SANDBOX();
  const std::string hostsBefore = contentOf("/etc/hosts");
  {
    quill::test::Sandbox box("web.example.test", quill::test::hostsLine("web.example.test", "web"));
    ASSERT_TRUE(box.ok()) << box.error();
    char name[65] = {};
    gethostname(name, 64);
    EXPECT_STREQ(name, "web.example.test");
    quill::test::Sandbox::writeFile("/var/named/run-root/var/localhost.rev", "x");
    EXPECT_NE(contentOf("/etc/hosts"), hostsBefore);
  }
  EXPECT_EQ(contentOf("/etc/hosts"), hostsBefore);
  EXPECT_FALSE(std::filesystem::exists("/var/named/run-root/var/localhost.rev"));
}

}  // namespace
