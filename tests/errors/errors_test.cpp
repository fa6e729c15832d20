#include <quill/errors/errors.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using quill::ExSystemError;
using quill::SystemError;
using quill::throwSystemError;

template <typename E>
E caught(const std::string& message, int number) {
  try {
    throwSystemError(message, number);
  } catch (const E& e) {
    return e;
  }
  ADD_FAILURE() << "nothing of the expected class was thrown";
  throw;
}

TEST(ThrowSystemError, PicksTheClassOfEachDedicatedNumber) {
  EXPECT_EQ(caught<ExSystemError<1>>("m", 1).errorNumber, 1);
  EXPECT_EQ(caught<ExSystemError<2>>("m", 2).errorNumber, 2);
  EXPECT_EQ(caught<ExSystemError<4>>("m", 4).errorNumber, 4);
  EXPECT_EQ(caught<ExSystemError<10>>("m", 10).errorNumber, 10);
  EXPECT_EQ(caught<ExSystemError<11>>("m", 11).errorNumber, 11);
}

TEST(ThrowSystemError, MissingFileIsCaughtAsSystemAndRuntimeError) {
  try {
    throwSystemError("/etc/none: open failed", ENOENT);
  } catch (const std::runtime_error& e) {
    EXPECT_NE(dynamic_cast<const ExSystemError<2>*>(&e), nullptr);
    EXPECT_EQ(std::string(e.what()),
              std::string("/etc/none: open failed: ") + std::strerror(ENOENT));
  }
}

TEST(ThrowSystemError, OtherNumbersGiveAPlainSystemError) {
  SystemError e = caught<SystemError>("x", EACCES);
  EXPECT_EQ(e.errorNumber, EACCES);
  EXPECT_EQ(typeid(e), typeid(SystemError));
}

TEST(ThrowSystemError, ZeroTakesTheCurrentErrnoButNotItsClass) {
  errno = ENOENT;
  try {
    throwSystemError("x", 0);
  } catch (const SystemError& e) {
    EXPECT_EQ(typeid(e), typeid(SystemError));
    EXPECT_EQ(e.errorNumber, ENOENT);
  }
}

TEST(SystemErrorText, EmptyMessageGivesTheSystemTextAlone) {
  SystemError e("", EACCES);
  EXPECT_STREQ(e.what(), std::strerror(EACCES));
}

TEST(SystemErrorText, IsComposedOnceAndKept) {
  SystemError e("m", EIO);
  std::string first = e.what();
  EXPECT_EQ(e.what(), e.what());  // the same cached buffer
  EXPECT_EQ(first, std::string("m: ") + std::strerror(EIO));
}

TEST(ErrorFamilies, DoNotCatchEachOther) {
  bool sawTError = false;
  try {
    try {
      throwSystemError("m", EINTR);
    } catch (const quill::TError&) {
      sawTError = true;
    }
  } catch (const ExSystemError<4>&) {
  }
  EXPECT_FALSE(sawTError);

  bool sawSystemError = false;
  try {
    try {
      throw quill::sys::TSysCallErr(ENOENT);
    } catch (const SystemError&) {
      sawSystemError = true;
    }
  } catch (const quill::sys::TSysErr& e) {
    EXPECT_STREQ(e.what(), std::strerror(ENOENT));
  }
  EXPECT_FALSE(sawSystemError);
}

TEST(TSysCallErr, CarriesItsNumber) {
  quill::sys::TSysCallErr e(EBADF);
  EXPECT_EQ(e.errorNumber, EBADF);
  EXPECT_STREQ(e.what(), std::strerror(EBADF));
}

TEST(TError, CopiesShareTheAttachment) {
  quill::TError e("message");
  quill::TError copy(e);
  EXPECT_EQ(e.attachment.useCount(), 2);
  EXPECT_FALSE(copy.attachment);
  EXPECT_STREQ(copy.what(), "message");
}

}  // namespace
