#include <quill/errors/errors.h>
#include <quill/errors/fatal.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace {

// Ends the way an exception nobody catches does: in std::terminate, with the
// exception still pending.
void dieWith(void (*thrower)()) {
  quill::installFatalErrorHandler();
  try {
    thrower();
  } catch (...) {
    std::terminate();
  }
}

TEST(FatalErrorHandler, ReportsStdExceptionsAndExitsWithOne) {
  EXPECT_EXIT(dieWith([] { throw std::runtime_error("boom"); }), testing::ExitedWithCode(1),
              "^Unexpected error: boom\n$");
}

TEST(FatalErrorHandler, ReportsSystemErrorsWithTheSystemText) {
  EXPECT_EXIT(dieWith([] { quill::throwSystemError("Cannot write f", ENOSPC); }),
              testing::ExitedWithCode(1),
              std::string("^Unexpected error: Cannot write f: ") + std::strerror(ENOSPC) + "\n$");
}

TEST(FatalErrorHandler, ReportsOtherExceptionsWithoutText) {
  EXPECT_EXIT(dieWith([] { throw 42; }), testing::ExitedWithCode(1), "^Unexpected error\n$");
}

}  // namespace
