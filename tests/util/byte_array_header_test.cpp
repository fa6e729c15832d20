#include <quill/util/byte_array_header.h>

#include "tests/support/scratch_dir.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quill {
namespace {

std::string header(const char* prefix, const std::vector<uint8_t>& bytes) {
  std::ostringstream out;
  writeByteArrayHeader(out, prefix, bytes.data(), static_cast<int32_t>(bytes.size()));
  return out.str();
}

std::vector<uint8_t> countingBytes(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

std::vector<uint8_t> randomBytes(size_t n, unsigned stream) {
  std::mt19937 random(stream);
  std::vector<uint8_t> bytes(n);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

// The layout written the plain way, one printf per byte.
std::string printfHeader(const char* prefix, const std::vector<uint8_t>& bytes) {
  std::string text =
      std::string("#define ") + prefix + "_LEN " + std::to_string(bytes.size()) + "\n";
  char item[8];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 0)
      text += std::string("#define ") + prefix + "_DATA ";
    else if (i % 8 == 0)
      text += "\t\t\t";
    snprintf(item, sizeof item, "0x%02x", bytes[i]);
    text += item;
    if (i + 1 < bytes.size()) text += ", ";
    if (i + 1 == bytes.size())
      text += "\n";
    else if (i % 8 == 7)
      text += "\\\n";
  }
  return text;
}

TEST(ByteArrayHeader, LineLayoutForShortBlocks) {
  EXPECT_EQ(header("EMPTY", {}), "#define EMPTY_LEN 0\n");
  EXPECT_EQ(header("ONE", {0xff}), "#define ONE_LEN 1\n#define ONE_DATA 0xff\n");
  EXPECT_EQ(header("B", countingBytes(8)),
            "#define B_LEN 8\n"
            "#define B_DATA 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07\n");
  EXPECT_EQ(header("B", countingBytes(9)),
            "#define B_LEN 9\n"
            "#define B_DATA 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, \\\n"
            "\t\t\t0x08\n");
  EXPECT_EQ(header("B", countingBytes(17)),
            "#define B_LEN 17\n"
            "#define B_DATA 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, \\\n"
            "\t\t\t0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, \\\n"
            "\t\t\t0x10\n");
  EXPECT_EQ(header("Z", {0x00, 0xff, 0x7f, 0x80}),
            "#define Z_LEN 4\n#define Z_DATA 0x00, 0xff, 0x7f, 0x80\n");
}

TEST(ByteArrayHeader, MatchesThePrintfLayoutForEverySizeAndAcrossWriteChunks) {
  for (size_t n = 0; n <= 80; ++n) {
    const auto bytes = randomBytes(n, static_cast<unsigned>(n));
    ASSERT_EQ(header("SMALL", bytes), printfHeader("SMALL", bytes)) << n << " bytes";
  }
  for (size_t n : {131072u, 131073u, 131080u, 131081u, 131089u, 262152u, 262153u, 1048583u}) {
    const auto bytes = randomBytes(n, static_cast<unsigned>(n));
    ASSERT_EQ(header("LARGE", bytes), printfHeader("LARGE", bytes)) << n << " bytes";
  }
}

TEST(ByteArrayHeader, NegativeLengthWritesOnlyTheLengthLine) {
  const uint8_t bytes[] = {1, 2};
  std::ostringstream out;
  writeByteArrayHeader(out, "NEG", bytes, -5);
  EXPECT_EQ(out.str(), "#define NEG_LEN -5\n");
  EXPECT_TRUE(out.good());
}

TEST(ByteArrayHeader, LengthLineIsFlushedBeforeTheData) {
  // Records what had arrived each time the stream was flushed.
  struct RecordingBuffer : std::stringbuf {
    std::vector<std::string> flushed;
    int sync() override {
      flushed.push_back(str());
      return 0;
    }
  } buffer;
  std::ostream out(&buffer);
  writeByteArrayHeader(out, "F", countingBytes(3).data(), 3);
  ASSERT_FALSE(buffer.flushed.empty());
  EXPECT_EQ(buffer.flushed.front(), "#define F_LEN 3\n");
}

TEST(ByteArrayHeader, NullPrefixFailsTheStreamWhereThePrefixWouldGo) {
  const uint8_t bytes[] = {1};
  std::ostringstream out;
  writeByteArrayHeader(out, nullptr, bytes, 1);
  EXPECT_TRUE(out.bad());
  EXPECT_EQ(out.str(), "#define ");

  std::ostringstream throwing;
  throwing.exceptions(std::ios_base::badbit);
  EXPECT_THROW(writeByteArrayHeader(throwing, nullptr, bytes, 1), std::ios_base::failure);
}

TEST(ByteArrayHeader, NullBytesFailTheStreamAfterTheLengthLine) {
  std::ostringstream out;
  writeByteArrayHeader(out, "NB", nullptr, 4);
  EXPECT_TRUE(out.bad());
  EXPECT_EQ(out.str(), "#define NB_LEN 4\n");
}

TEST(ByteArrayHeader, WriteErrorsFollowTheStreamsExceptionMask) {
  const auto bytes = countingBytes(100);
  std::ofstream quiet("/dev/full");
  ASSERT_TRUE(quiet.is_open());
  writeByteArrayHeader(quiet, "FULL", bytes.data(), 100);
  EXPECT_TRUE(quiet.bad());

  std::ofstream throwing("/dev/full");
  throwing.exceptions(std::ios_base::badbit);
  EXPECT_THROW(writeByteArrayHeader(throwing, "FULL", bytes.data(), 100), std::ios_base::failure);
}

// Writes headers into a scratch directory and has the C compiler build
// programs that write the bytes back out.
class CompiledByteArrayHeader : public ::testing::Test {
 protected:
  // The bytes a C program built from the header of `bytes` writes back.
  std::string roundTrip(const std::vector<uint8_t>& bytes) {
    {
      std::ofstream headerFile(dir_ + "/blob.h");
      writeByteArrayHeader(headerFile, "BLOB", bytes.data(), static_cast<int32_t>(bytes.size()));
    }
    std::ofstream(dir_ + "/main.c") << R"(#include <stdio.h>
#include "blob.h"
#if BLOB_LEN > 0
static const unsigned char data[] = {BLOB_DATA};
_Static_assert(sizeof data == BLOB_LEN, "item count differs from the length");
#endif
int main(int argc, char** argv) {
  FILE* out = fopen(argv[argc - 1], "wb");
#if BLOB_LEN > 0
  if (fwrite(data, 1, sizeof data, out) != sizeof data) return 1;
#endif
  return fclose(out) != 0;
}
)";
    const std::string build = std::string(QUILL_C_COMPILER) + " -std=c11 -Wall -Werror -o '" +
                              dir_ + "/blob' '" + dir_ + "/main.c' && '" + dir_ + "/blob' '" +
                              dir_ + "/out'";
    const int status = std::system(build.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ADD_FAILURE() << "building or running the program failed: " << build;
      return "";
    }
    std::ifstream in(dir_ + "/out", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  quill::test::ScratchDir scratch_;
  std::string dir_ = scratch_.path();
};

TEST_F(CompiledByteArrayHeader, CompilerReadsBackTheSameBytes) {
  for (size_t n = 0; n <= 20; ++n) {
    const auto bytes = randomBytes(n, static_cast<unsigned>(1000 + n));
    EXPECT_EQ(roundTrip(bytes), std::string(bytes.begin(), bytes.end())) << n << " bytes";
  }
  const auto big = randomBytes(1 << 20, 7);
  EXPECT_EQ(roundTrip(big), std::string(big.begin(), big.end())) << "1 MiB";
}

}  // namespace
}  // namespace quill
