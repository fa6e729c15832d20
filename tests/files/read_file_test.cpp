// The whole-file readers: every byte, the errors that name the file, and a
// descriptor that programs started meanwhile never inherit.

#include <quill/errors/errors.h>
#include <quill/files/read_file.h>

#include "tests/support/tool_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using quill::test::ScratchDir;
using quill::test::writeBytes;
using testing::ElementsAre;

// CR, LF, NUL, leading blanks and no final line feed: all must survive.
const char kHandEditedBytes[] = "  \r\n; edited by hand\r\n\0\x01\xff tail";
const std::string kHandEdited(kHandEditedBytes, sizeof kHandEditedBytes - 1);

TEST(ReadFile, ReturnsEveryByte) {
  ScratchDir dir;
  writeBytes(dir / "f", kHandEdited);
  EXPECT_EQ(quill::readFile(dir / "f"), kHandEdited);
  writeBytes(dir / "empty", "");
  EXPECT_EQ(quill::readFile(dir / "empty"), "");
}

TEST(ReadFile, MissingFileRaisesNoSuchFile) {
  ScratchDir dir;
  try {
    quill::readFile(dir / "none");
    FAIL() << "no error raised";
  } catch (const quill::ExSystemError<ENOENT>& e) {
    EXPECT_EQ(std::string(e.what()), dir / "none" + ": open failed: " + std::strerror(ENOENT));
  }
}

TEST(ReadFile, UnreadableFileRaisesPermissionDenied) {
  ScratchDir dir;
  writeBytes(dir / "secret", "x", 0);
  EXPECT_EXIT(
      {
        if (!quill::test::dropFileAccessOverride()) std::_Exit(99);
        try {
          quill::readFile(dir / "secret");
        } catch (const quill::SystemError& e) {
          std::fprintf(stderr, "%d %s", e.errorNumber, e.what());
          std::exit(0);
        }
        std::exit(2);
      },
      testing::ExitedWithCode(0),
      testing::Eq(std::to_string(EACCES) + " " + (dir / "secret") +
                  ": open failed: " + std::strerror(EACCES)));
}

TEST(ReadFile, ReadErrorIsNotTakenForTheEndOfTheFile) {
  ScratchDir dir;
  try {
    quill::readFile(dir.path());
    FAIL() << "a directory read as a file";
  } catch (const quill::SystemError& e) {
    EXPECT_EQ(e.errorNumber, EISDIR);
    EXPECT_EQ(std::string(e.what()), dir.path() + ": read failed: " + std::strerror(EISDIR));
  }
}

// A program of the panel that runs children while it reads a file must not
// hand them the file: the reader's descriptor is close-on-exec. A named pipe
// holds the read open until this test has looked at the descriptor.
TEST(ReadFile, KeepsItsDescriptorFromProgramsStartedMeanwhile) {
  ScratchDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string content;
  std::thread reader([&] { content = quill::readFile(fifo); });
  // Opening the writing end waits until the reader has opened its end.
  const int writer = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  const int error = errno;
  std::vector<int> readers;
  std::vector<int> inherited;
  if (writer >= 0) {
    // The reader's descriptor is installed as its open returns, which
    // nothing announces: look until it shows. It stays open until the
    // writing end is closed.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (readers.size() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
      readers = quill::test::descriptorsOn(fifo);
    }
    for (int descriptor : readers) {
      const int flags = fcntl(descriptor, F_GETFD);
      if (descriptor != writer && (flags < 0 || (flags & FD_CLOEXEC) == 0))
        inherited.push_back(descriptor);
    }
    EXPECT_EQ(write(writer, "pipe\0d", 6), 6);
    close(writer);
  } else {
    // Unblock the reader anyway; the test has failed.
    close(open(fifo.c_str(), O_RDWR | O_CLOEXEC));
  }
  reader.join();
  ASSERT_GE(writer, 0) << std::strerror(error);
  ASSERT_EQ(readers.size(), 2u) << "the reader's descriptor never showed";
  EXPECT_THAT(inherited, ElementsAre()) << "descriptors that children would inherit";
  EXPECT_EQ(content, std::string("pipe\0d", 6));
}

TEST(ReadStream, ReturnsWhatIsLeft) {
  std::istringstream in(std::string("head\n \0rest", 11));
  std::string head;
  std::getline(in, head);
  EXPECT_EQ(quill::readStream(in), std::string(" \0rest", 6));
  EXPECT_EQ(quill::readStream(in), "");
}

}  // namespace
