#include <quill/net/fqdn.h>

#include <errno.h>
#include <netdb.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/log/log_capture.h"
#include "tests/net/resolver_fakes.h"
#include "tests/support/sandbox.h"

namespace {

using quill::test::LogLine;
using quill::test::LogRecorder;
using quill::test::resolverFake;
using quill::test::Sandbox;

const std::string kAdvice =
    "It is impossible to detect the FQDN of the host.\n"
    "Please make sure that the host name is correctly specified in /etc/hosts and goes right after "
    "the host's IP address.\n"
    "Depending on your OS, you might need to set the host name in /etc/HOSTNAME or /etc/hostname.";

std::vector<LogLine> withAdvice(const std::string& reason) {
  return {{3, reason}, {3, kAdvice}};
}

// A caller's buffer, filled with a pattern so that untouched and zero-filled
// bytes can be told apart.
struct Buffer {
  explicit Buffer(size_t size) : bytes(size, '#') {}
  std::string asString() const { return std::string(bytes.c_str()); }
  bool untouched() const { return bytes == std::string(bytes.size(), '#'); }
  // The name, then nothing but zeros up to the end.
  bool holdsExactly(const std::string& name) const {
    return bytes.compare(0, name.size(), name) == 0 &&
           bytes.find_first_not_of('\0', name.size()) == std::string::npos;
  }
  std::string bytes;
};

class HostFqdn : public ::testing::Test {
 protected:
  void SetUp() override { resolverFake() = quill::test::ResolverFake{}; }
  void TearDown() override { resolverFake() = quill::test::ResolverFake{}; }

  // The name that the real resolver gives for `hostName` under this /etc/hosts.
  int detect(const std::string& hostName, const std::string& hosts, Buffer& buffer) {
    Sandbox box(hostName, hosts);
    if (!box.ok()) {
      ADD_FAILURE() << box.error();
      return -2;
    }
    return get_host_fqdn(buffer.bytes.data(), buffer.bytes.size());
  }

  LogRecorder log;
};

TEST_F(HostFqdn, GivesTheCanonicalNameOfTheHostName) {
  QUILL_REQUIRE_SANDBOX();
  Buffer buffer(65);
  ASSERT_EQ(detect("web", "127.0.0.1\tlocalhost\n10.11.12.13\tweb.example\tweb\n", buffer), 0);
  EXPECT_TRUE(buffer.holdsExactly("web.example")) << buffer.asString();
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(HostFqdn, AsksTheResolverForTheCanonicalNameOfAnyFamily) {
  QUILL_REQUIRE_SANDBOX();
  Buffer buffer(65);
  detect("web", quill::test::hostsLine("web.example", "web"), buffer);
  EXPECT_EQ(resolverFake().node, "web");
  EXPECT_TRUE(resolverFake().serviceWasNull);
  EXPECT_EQ(resolverFake().hints.ai_flags, AI_CANONNAME);
  EXPECT_EQ(resolverFake().hints.ai_socktype, SOCK_STREAM);
  EXPECT_EQ(resolverFake().hints.ai_family, AF_UNSPEC);
  EXPECT_EQ(resolverFake().hints.ai_protocol, 0);
}

TEST_F(HostFqdn, KeepsCaseAndATrailingDot) {
  QUILL_REQUIRE_SANDBOX();
  Buffer upper(65);
  ASSERT_EQ(detect("web", "10.11.12.13\tWeb.Example\tweb\n", upper), 0);
  EXPECT_TRUE(upper.holdsExactly("Web.Example"));
  Buffer dotted(65);
  ASSERT_EQ(detect("web", "10.11.12.13\tlocalhost.\tweb\n", dotted), 0);
  EXPECT_TRUE(dotted.holdsExactly("localhost."));
}

TEST_F(HostFqdn, RejectsACanonicalNameWithoutADot) {
  QUILL_REQUIRE_SANDBOX();
  Buffer buffer(65);
  EXPECT_EQ(detect("web", "127.0.0.1\tlocalhost\n10.11.12.13\tweb\n", buffer), -1);
  EXPECT_EQ(log.lines(), withAdvice("Canonname is not correct fqdn"));
  EXPECT_TRUE(buffer.untouched());
}

TEST_F(HostFqdn, ReportsTheResolversTextForAnUnknownHost) {
  QUILL_REQUIRE_SANDBOX();
  Buffer buffer(65);
  EXPECT_EQ(detect("nosuchhost", "127.0.0.1\tlocalhost\n", buffer), -1);
  EXPECT_EQ(log.lines(),
            withAdvice(std::string("Unable to resolve fqdn: ") + gai_strerror(EAI_NONAME)));
  EXPECT_TRUE(buffer.untouched());
}

TEST_F(HostFqdn, NameOfSixtyFourCharactersFillsASixtyFiveByteBuffer) {
  QUILL_REQUIRE_SANDBOX();
  const std::string name = std::string(56, 'a') + ".example";
  ASSERT_EQ(name.size(), 64u);
  Buffer buffer(65);
  ASSERT_EQ(detect("web", "10.11.12.13\t" + name + "\tweb\n", buffer), 0);
  EXPECT_EQ(buffer.asString(), name);
  EXPECT_EQ(buffer.bytes[64], '\0');
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(HostFqdn, NameOfSixtyFiveCharactersDoesNotFitWithoutAdvice) {
  QUILL_REQUIRE_SANDBOX();
  const std::string name = std::string(57, 'a') + ".example";
  Buffer buffer(65);
  EXPECT_EQ(detect("web", "10.11.12.13\t" + name + "\tweb\n", buffer), -1);
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{3, "Buffer size is not enough to hold hostname"}}));
  EXPECT_TRUE(buffer.untouched());
}

TEST_F(HostFqdn, BufferSizeCountsTheTerminatingZero) {
  QUILL_REQUIRE_SANDBOX();
  const std::string hosts = quill::test::hostsLine("web.example", "web");
  Buffer exact(12);
  EXPECT_EQ(detect("web", hosts, exact), 0);
  EXPECT_TRUE(exact.holdsExactly("web.example"));
  Buffer tooSmall(11);
  EXPECT_EQ(detect("web", hosts, tooSmall), -1);
  EXPECT_TRUE(tooSmall.untouched());
}

TEST_F(HostFqdn, KernelHostNameOfSixtyFourCharactersIsReadWhole) {
  QUILL_REQUIRE_SANDBOX();
  const std::string hostName = std::string(55, 'h') + ".example";
  ASSERT_EQ(hostName.size(), 63u);
  const std::string longest = hostName + "x";
  Buffer buffer(65);
  ASSERT_EQ(detect(longest, "10.11.12.13\t" + longest + "\n", buffer), 0);
  EXPECT_EQ(buffer.asString(), longest);
  EXPECT_TRUE(log.lines().empty());
}

// The remaining answers cannot be had from a real resolver.

TEST_F(HostFqdn, EmptyBufferHasNoRoomForAnyName) {
  resolverFake().armed = true;
  resolverFake().canonicalName = "web.example";
  char untouched = '#';
  EXPECT_EQ(get_host_fqdn(&untouched, 0), -1);
  EXPECT_EQ(untouched, '#');
  EXPECT_EQ(log.lines(), (std::vector<LogLine>{{3, "Buffer size is not enough to hold hostname"}}));
}

TEST_F(HostFqdn, AnswerWithoutACanonicalNameCountsAsANameWithoutADot) {
  resolverFake().armed = true;
  resolverFake().noCanonicalName = true;
  Buffer buffer(65);
  EXPECT_EQ(get_host_fqdn(buffer.bytes.data(), buffer.bytes.size()), -1);
  EXPECT_EQ(log.lines(), withAdvice("Canonname is not correct fqdn"));
  EXPECT_TRUE(buffer.untouched());
  EXPECT_EQ(resolverFake().fakeAnswersFreed, 1);
}

TEST_F(HostFqdn, EmptyAnswerCannotBeResolved) {
  resolverFake().armed = true;
  resolverFake().emptyAnswer = true;
  Buffer buffer(65);
  EXPECT_EQ(get_host_fqdn(buffer.bytes.data(), buffer.bytes.size()), -1);
  EXPECT_EQ(log.lines(), withAdvice("Unable to resolve fqdn"));
  EXPECT_TRUE(buffer.untouched());
}

TEST_F(HostFqdn, ReportsWhyTheHostNameCannotBeRead) {
  resolverFake().hostNameErrno = EFAULT;
  Buffer buffer(65);
  EXPECT_EQ(get_host_fqdn(buffer.bytes.data(), buffer.bytes.size()), -1);
  EXPECT_EQ(log.lines(), withAdvice(std::string("Unable to get hostname: ") + strerror(EFAULT)));
  EXPECT_TRUE(buffer.untouched());
}

TEST_F(HostFqdn, ReleasesTheAnswerOnEveryPath) {
  resolverFake().armed = true;
  Buffer buffer(65);
  resolverFake().canonicalName = "short";
  get_host_fqdn(buffer.bytes.data(), buffer.bytes.size());
  resolverFake().canonicalName = std::string(70, 'a') + ".b";
  get_host_fqdn(buffer.bytes.data(), buffer.bytes.size());
  resolverFake().canonicalName = "web.example";
  EXPECT_EQ(get_host_fqdn(buffer.bytes.data(), buffer.bytes.size()), 0);
  EXPECT_EQ(resolverFake().fakeAnswersFreed, 3);
}

}  // namespace
