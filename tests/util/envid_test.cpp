#include <quill/util/envid.h>

#include <quill/errors/errors.h>

#include <sys/mount.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/sandbox.h"

namespace quill {
namespace {

TEST(EnvId, DigitsAfterATabOnAMiddleLine) {
  EXPECT_EQ(parseEnvId("Name:\tbash\nenvID:\t101\nVmPeak:\t  1024 kB\n"), "101");
  EXPECT_EQ(parseEnvId("envID:0042"), "0042");
}

TEST(EnvId, NoLineMeansEmpty) {
  EXPECT_EQ(parseEnvId(""), "");
  EXPECT_EQ(parseEnvId("Name:\tbash\nPid:\t12\n"), "");
  EXPECT_EQ(parseEnvId("xenvID:\t7\nenvid:\t8\n"), "");
}

TEST(EnvId, LineWithTrailingTextOrWithoutDigitsDoesNotCount) {
  EXPECT_EQ(parseEnvId("envID:\t101 kB\n"), "");
  EXPECT_EQ(parseEnvId("envID:\t \nPid:\t12\n"), "");
  EXPECT_EQ(parseEnvId("envID:\t101 kB\nenvID:\t7\n"), "7");
}

TEST(EnvId, DigitsOnTheNextLineDoNotCount) {
  EXPECT_EQ(parseEnvId("envID:\n101\n"), "");
  EXPECT_EQ(parseEnvId("envID: \t\n \t101\n"), "");
}

TEST(EnvId, FirstMatchingLineWins) {
  EXPECT_EQ(parseEnvId("envID:\t12\nenvID:\t34\n"), "12");
}

TEST(EnvId, ThisMachineAnswersWithDigitsOrNothing) {
  const std::string id = getEnvId();
  EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << id;
}

TEST(EnvId, UnreadableStatusFileRaisesTheReadersError) {
  QUILL_REQUIRE_SANDBOX();
  // Hide /proc in this process's private mount namespace for the duration.
  ASSERT_EQ(mount("tmpfs", "/proc", "tmpfs", 0, nullptr), 0);
  struct Unmount {
    ~Unmount() { umount2("/proc", MNT_DETACH); }
  } unmount;
  try {
    getEnvId();
    FAIL() << "a missing status file was read";
  } catch (const ExSystemError<2>& e) {
    EXPECT_EQ(std::string(e.what()).rfind("/proc/self/status: open failed", 0), 0u) << e.what();
  }
}

}  // namespace
}  // namespace quill
