#include <quill/errors/errors.h>
#include <quill/files/tmpfile.h>

#include "tests/support/tool_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using quill::test::bytesOf;
using quill::test::exists;
using quill::test::modeOf;
using quill::test::ScratchDir;
using testing::HasSubstr;
using testing::StartsWith;

TEST(CreateTempFile, AddsSixCharactersAndIsPrivateToItsOwner) {
  ScratchDir dir;
  const std::string prefix = dir / "zone";
  const quill::OpenedFile file = quill::createTempFile(prefix);
  EXPECT_THAT(file.path, StartsWith(prefix));
  EXPECT_EQ(file.path.size(), prefix.size() + 6);
  EXPECT_EQ(modeOf(file.path), 0600);
  // Open for reading and writing, and not handed on to programs we run.
  const int flags = fcntl(file.descriptor, F_GETFL);
  EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
  EXPECT_TRUE(fcntl(file.descriptor, F_GETFD) & FD_CLOEXEC);
  close(file.descriptor);
}

TEST(CreateTempFile, EmptyPrefixCreatesInTheCurrentDirectory) {
  ScratchDir dir;
  char* previous = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  const quill::OpenedFile file = quill::createTempFile("");
  ASSERT_EQ(chdir(previous), 0);
  free(previous);
  close(file.descriptor);
  EXPECT_EQ(file.path.size(), 6u);
  EXPECT_TRUE(exists(dir / file.path));
}

TEST(CreateTempFile, MissingDirectoryRaisesNoSuchFile) {
  ScratchDir dir;
  try {
    quill::createTempFile(dir / "missing/zone");
    FAIL() << "no error raised";
  } catch (const quill::ExSystemError<ENOENT>& e) {
    EXPECT_EQ(std::string(e.what()), std::string("mkstemp() failed: ") + std::strerror(ENOENT));
  }
  EXPECT_TRUE(quill::test::namesIn(dir.path()).empty());
}

TEST(TmpFile, KeepsItsFileWithEverythingWrittenByDefault) {
  ScratchDir dir;
  std::string path;
  {
    quill::TmpFile file(dir / "out");
    EXPECT_FALSE(file.autoclean());
    path = file.path();
    // Formatted and unformatted output at once, some of it still buffered at
    // destruction; zero bytes pass unchanged.
    file << "line " << 42 << '\n';
    file.write("a\0b", 3);
    EXPECT_TRUE(file.good());
  }
  EXPECT_EQ(bytesOf(path), std::string("line 42\na\0b", 11));
}

TEST(TmpFile, WritesMoreThanItsBufferHolds) {
  ScratchDir dir;
  const std::string big(100000, 'z');
  std::string path;
  {
    quill::TmpFile file(dir / "big");
    path = file.path();
    file << big;
  }
  EXPECT_EQ(bytesOf(path), big);
}

TEST(TmpFile, AutocleanRemovesTheFileSilently) {
  ScratchDir dir;
  std::string path;
  testing::internal::CaptureStderr();
  {
    quill::TmpFile file(dir / "gone");
    file.setAutoclean(true);
    path = file.path();
    file << "pending";
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(exists(path));
}

TEST(TmpFile, AutocleanOfAFileRemovedByOthersIsNotReported) {
  ScratchDir dir;
  testing::internal::CaptureStderr();
  {
    quill::TmpFile file(dir / "gone");
    file.setAutoclean(true);
    ASSERT_EQ(unlink(file.path().c_str()), 0);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(TmpFile, AutocleanFailureIsOneLineOnStandardError) {
  ScratchDir dir;
  std::string path;
  // A directory left in the file's place cannot be unlinked (EISDIR).
  testing::internal::CaptureStderr();
  {
    quill::TmpFile file(dir / "dir");
    file.setAutoclean(true);
    path = file.path();
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("TmpFile autoclean failed: ") + std::strerror(EISDIR) + "\n");
  EXPECT_TRUE(exists(path));
}

TEST(TmpFile, FailedCreationLeavesNoFile) {
  ScratchDir dir;
  EXPECT_THROW(quill::TmpFile(dir / "missing/x"), quill::ExSystemError<ENOENT>);
  EXPECT_TRUE(quill::test::namesIn(dir.path()).empty());
}

TEST(TmpFileBase, ClosesAnUnattachableDescriptorWithoutLeaking) {
  // A descriptor opened read-only cannot carry an output buffer: the base
  // must close it anyway and fail every write.
  ScratchDir dir;
  quill::test::writeBytes(dir / "ro", "");
  const int descriptor = open((dir / "ro").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(descriptor, 0);
  struct Probe : quill::TmpFileBase {
    using TmpFileBase::TmpFileBase;
    bool open() const { return buffer.is_open(); }
  };
  {
    Probe probe(quill::OpenedFile{dir / "ro", descriptor});
    if (probe.open()) GTEST_SKIP() << "this C library attaches write buffers to read-only files";
  }
  EXPECT_EQ(fcntl(descriptor, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
