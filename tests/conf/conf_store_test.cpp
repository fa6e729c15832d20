#include <quill/conf/detail/conf_reader.h>
#include <quill/conf/detail/conf_store.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/log/log_capture.h"
#include "tests/support/scratch_dir.h"

namespace {

using quill::detail::conf_store_find;
using quill::detail::conf_store_read_file;
using quill::detail::conf_store_read_stream;
using quill::detail::conf_store_set;
using quill::detail::ConfStore;
using quill::test::LogLine;
using quill::test::LogRecorder;

constexpr int kWarning = LOG_USER | LOG_WARNING;

LogLine noSpaceAfterName(const std::string& line) {
  return {kWarning,
          "Invalid variable definition " + line + "\nExpected a space after variable name\n"};
}
LogLine noValue(const std::string& line) {
  return {kWarning, "Invalid variable definition " + line + "\nExpected a value"};
}

// Reads configuration text through a real file, as the library does.
class ConfFile : public ::testing::Test {
 protected:
  int read(const std::string& content) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
    return conf_store_read_file(path_.c_str(), &store_);
  }
  std::string find(const char* name) {
    const char* value = conf_store_find(name, &store_);
    return value != nullptr ? value : "(none)";
  }

  quill::test::ScratchDir scratch_;
  std::string dir_ = scratch_.path();
  std::string path_ = scratch_.file("vex.conf");
  ConfStore store_;
  LogRecorder log_;
};

TEST_F(ConfFile, NameWhitespaceValue) {
  EXPECT_EQ(read("NAMED_RUN_ROOT_D /srv/named\n"), 0);
  EXPECT_EQ(find("NAMED_RUN_ROOT_D"), "/srv/named");
  EXPECT_EQ(store_.count, 1u);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ConfFile, IndentationAndATrailingCommentDoNotCount) {
  EXPECT_EQ(read("  A /a\n\t\tB\t/b\n \t C /c  # the c directory\nD /d#tight\n"), 0);
  EXPECT_EQ(find("A"), "/a");
  EXPECT_EQ(find("B"), "/b");
  EXPECT_EQ(find("C"), "/c");
  EXPECT_EQ(find("D"), "/d");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ConfFile, BlankLinesAndCommentsAreSkippedSilently) {
  EXPECT_EQ(read("\n   \n\t\r\n# comment\n   # indented comment\n#NAME value\nX 1\n"), 0);
  EXPECT_EQ(store_.count, 1u);
  EXPECT_EQ(find("X"), "1");
  EXPECT_EQ(find("NAME"), "(none)");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ConfFile, InnerWhitespaceOfAValueStays) {
  EXPECT_EQ(read("X a b  c   # note\nY \tv\t w \r\n"), 0);
  EXPECT_EQ(find("X"), "a b  c");
  EXPECT_EQ(find("Y"), "v\t w");
}

TEST_F(ConfFile, CarriageReturnBeforeTheNewlineIsDropped) {
  EXPECT_EQ(read("X value\r\nY other\r\n"), 0);
  EXPECT_EQ(find("X"), "value");
  EXPECT_EQ(find("Y"), "other");
}

TEST_F(ConfFile, LastLineWithoutNewlineRunsToTheEndOfTheFile) {
  EXPECT_EQ(read("X first\nY last value"), 0);
  EXPECT_EQ(find("Y"), "last value");
}

TEST_F(ConfFile, NamesMayStartWithADigitAndAreCaseSensitive) {
  EXPECT_EQ(read("1X one\nname lower\nNAME upper\n"), 0);
  EXPECT_EQ(find("1X"), "one");
  EXPECT_EQ(find("name"), "lower");
  EXPECT_EQ(find("NAME"), "upper");
  EXPECT_EQ(find("Name"), "(none)");
  EXPECT_EQ(find("NAM"), "(none)");
}

TEST_F(ConfFile, EqualsSignAfterTheNameIsRejected) {
  EXPECT_EQ(read("NAMED_RUN_ROOT_D=/srv/named\n"), 0);
  EXPECT_EQ(find("NAMED_RUN_ROOT_D"), "(none)");
  EXPECT_EQ(log_.lines(), std::vector<LogLine>{noSpaceAfterName("NAMED_RUN_ROOT_D=/srv/named\n")});
}

TEST_F(ConfFile, AnyOtherCharacterInOrBeforeANameIsRejected) {
  EXPECT_EQ(read("  NAME.x value\n-X value\nY-Z value"), 0);
  EXPECT_EQ(store_.count, 0u);
  EXPECT_EQ(log_.lines(),
            (std::vector<LogLine>{noSpaceAfterName("NAME.x value\n"),
                                  noSpaceAfterName("-X value\n"), noSpaceAfterName("Y-Z value")}));
}

// At the very end of the file nothing follows the name, not even whitespace.
TEST_F(ConfFile, NameAloneAtTheEndOfTheFileLacksTheSpace) {
  EXPECT_EQ(read("X"), 0);
  EXPECT_EQ(log_.lines(), std::vector<LogLine>{noSpaceAfterName("X")});
}

TEST_F(ConfFile, NameWithoutAValueIsRejected) {
  EXPECT_EQ(read("NAMED_RUN_ROOT_D\n\tNAMED_RUN_ROOT_D   # no value\nX \nY #\n"), 0);
  EXPECT_EQ(store_.count, 0u);
  EXPECT_EQ(log_.lines(), (std::vector<LogLine>{noValue("NAMED_RUN_ROOT_D\n"),
                                                noValue("NAMED_RUN_ROOT_D   # no value\n"),
                                                noValue("X \n"), noValue("Y #\n")}));
}

TEST_F(ConfFile, InvalidLinesDoNotStopTheReading) {
  EXPECT_EQ(read("A 1\nB=2\nC 3\nD\nE 5\n"), 0);
  EXPECT_EQ(find("A"), "1");
  EXPECT_EQ(find("C"), "3");
  EXPECT_EQ(find("E"), "5");
  EXPECT_EQ(store_.count, 3u);
  EXPECT_EQ(log_.lines().size(), 2u);
}

TEST_F(ConfFile, LaterDefinitionWins) {
  EXPECT_EQ(read("X first\nY other\nX second\n"), 0);
  EXPECT_EQ(find("X"), "second");
  EXPECT_EQ(store_.count, 2u);
}

TEST_F(ConfFile, NamesOutsideTheCatalogueAreStored) {
  EXPECT_EQ(read("NO_SUCH_VAR its value\n"), 0);
  EXPECT_EQ(find("NO_SUCH_VAR"), "its value");
}

TEST_F(ConfFile, ValueOfAnyLengthIsKeptWhole) {
  const std::string value(100000, 'v');
  EXPECT_EQ(read("SHORT s\nLONG " + value + "\nAFTER a\n"), 0);
  EXPECT_EQ(find("LONG"), value);
  EXPECT_EQ(find("AFTER"), "a");
}

TEST_F(ConfFile, StoreGrowsFromTwentySlotsByDoubling) {
  std::string content;
  for (int i = 0; i < 20; ++i) content += "V" + std::to_string(i) + " " + std::to_string(i) + "\n";
  EXPECT_EQ(read(content), 0);
  EXPECT_EQ(store_.capacity, 20u);

  ConfStore more;
  content += "V20 20\n";
  std::ofstream(path_, std::ios::trunc) << content;
  EXPECT_EQ(conf_store_read_file(path_.c_str(), &more), 0);
  EXPECT_EQ(more.capacity, 40u);
  EXPECT_EQ(more.count, 21u);
  for (int i = 0; i <= 20; ++i)
    EXPECT_STREQ(conf_store_find(("V" + std::to_string(i)).c_str(), &more),
                 std::to_string(i).c_str());
}

// Room for one more entry is made before a name is looked up: a full store
// grows even for a definition that only replaces a value.
TEST_F(ConfFile, FullStoreGrowsAlsoForARedefinition) {
  std::string content;
  for (int i = 0; i < 20; ++i) content += "V" + std::to_string(i) + " " + std::to_string(i) + "\n";
  EXPECT_EQ(read(content + "V0 again\n"), 0);
  EXPECT_EQ(store_.count, 20u);
  EXPECT_EQ(store_.capacity, 40u);
  EXPECT_EQ(find("V0"), "again");
  EXPECT_EQ(find("V19"), "19");
}

TEST_F(ConfFile, ManyDefinitionsAreAllFound) {
  constexpr int kCount = 10000;
  std::string content;
  for (int i = 0; i < kCount; ++i)
    content += "VAR_" + std::to_string(i) + " value " + std::to_string(i) + "\n";
  for (int i = 0; i < kCount; i += 7) content += "VAR_" + std::to_string(i) + " again\n";
  EXPECT_EQ(read(content), 0);
  EXPECT_EQ(store_.count, static_cast<uint64_t>(kCount));
  EXPECT_EQ(store_.capacity, 20u * 512);
  for (int i = 0; i < kCount; ++i) {
    const std::string expected = i % 7 == 0 ? "again" : "value " + std::to_string(i);
    ASSERT_EQ(find(("VAR_" + std::to_string(i)).c_str()), expected) << i;
  }
  EXPECT_EQ(find("VAR_10000"), "(none)");
}

// A line is taken as a C string: a zero byte ends it where it stands.
TEST_F(ConfFile, ZeroByteEndsTheLine) {
  using namespace std::string_literals;
  EXPECT_EQ(read("X va\0lue\nY 2\nZ\0 v\nW \0 x\n#\0\nV 5"s), 0);
  EXPECT_EQ(find("X"), "va");
  EXPECT_EQ(find("Y"), "2");
  EXPECT_EQ(find("V"), "5");
  EXPECT_EQ(store_.count, 3u);
  EXPECT_EQ(log_.lines(), (std::vector<LogLine>{noSpaceAfterName("Z"), noValue("W ")}));
}

TEST_F(ConfFile, MissingFileFailsWithItsErrno) {
  const std::string missing = dir_ + "/missing.conf";
  errno = 0;
  EXPECT_EQ(conf_store_read_file(missing.c_str(), &store_), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(log_.lines(),
            (std::vector<LogLine>{{kWarning, "unable to open configuration file " + missing +
                                                 ": No such file or directory\n"}}));
}

// A directory opens for reading but fails at the first read.
TEST_F(ConfFile, ReadErrorFailsWithItsErrno) {
  errno = 0;
  EXPECT_EQ(conf_store_read_file(dir_.c_str(), &store_), -1);
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(
      log_.lines(),
      (std::vector<LogLine>{{kWarning, "Unable to read configuration file: Is a directory"}}));
}

// On the real console the message goes out before the caller sees errno.
TEST_F(ConfFile, OpenFailureKeepsItsErrnoAcrossTheConsoleMessage) {
  const char* savedTarget = log_console_target;
  const int savedThreshold = log_threshold;
  log_init("stderr", 12, LOG_USER, 0, nullptr);  // the recorder restores log_message
  const std::string missing = dir_ + "/missing.conf";
  quill::test::StdioCapture capture;
  errno = 0;
  const int result = conf_store_read_file(missing.c_str(), &store_);
  const int error = errno;
  capture.stop();
  log_console_target = savedTarget;
  log_threshold = savedThreshold;
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(capture.err(),
            "unable to open configuration file " + missing + ": No such file or directory\n\n");
}

TEST(ConfStore, SetReplacesTheValueAndKeepsTheEntry) {
  ConfStore store;
  EXPECT_EQ(conf_store_find("X", &store), nullptr);
  char name[] = "X";
  EXPECT_EQ(conf_store_set(name, "1", &store), 0);
  name[0] = 'Y';  // the store keeps a copy of its own
  EXPECT_STREQ(conf_store_find("X", &store), "1");
  EXPECT_EQ(conf_store_set("X", "2", &store), 0);
  EXPECT_STREQ(conf_store_find("X", &store), "2");
  EXPECT_EQ(store.count, 1u);
  EXPECT_STREQ(store.entries[0].name, "X");
  quill::detail::conf_store_clear(&store);
  EXPECT_EQ(store.count, 0u);
  EXPECT_EQ(conf_store_find("X", &store), nullptr);
}

TEST(ConfStore, ReadsFromAnyStream) {
  LogRecorder log;
  const std::string text = "A 1\nB=2\nC  three  # c\n";
  FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  ASSERT_NE(stream, nullptr);
  ConfStore store;
  EXPECT_EQ(conf_store_read_stream(stream, &store), 0);
  fclose(stream);
  EXPECT_STREQ(conf_store_find("A", &store), "1");
  EXPECT_STREQ(conf_store_find("C", &store), "three");
  EXPECT_EQ(log.lines(), std::vector<LogLine>{noSpaceAfterName("B=2\n")});
}

// Streams of unknown length are read block by block: lines that cross from
// one block into the next are read whole.
class ConfStream : public ::testing::Test {
 protected:
  int read(const std::string& text) {
    FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (stream == nullptr) return -2;
    const int result = conf_store_read_stream(stream, &store_);
    fclose(stream);
    return result;
  }

  ConfStore store_;
  LogRecorder log_;
};

TEST_F(ConfStream, DefinitionsAcrossManyBlocks) {
  constexpr int kCount = 30000;
  std::string text;
  for (int i = 0; i < kCount; ++i) {
    text += "NAME_" + std::to_string(i) + "  value of " + std::to_string(i) + "  # note\n";
    if (i % 1000 == 999) text += "NAME_" + std::to_string(i / 2) + " again\n";
  }
  text += "LAST without newline";
  EXPECT_EQ(read(text), 0);
  EXPECT_EQ(store_.count, kCount + 1u);
  for (int i = 0; i < kCount; ++i) {
    const bool redefined = i < kCount / 2 && i % 500 == 499;
    const char* value = conf_store_find(("NAME_" + std::to_string(i)).c_str(), &store_);
    ASSERT_STREQ(value, redefined ? "again" : ("value of " + std::to_string(i)).c_str()) << i;
  }
  EXPECT_STREQ(conf_store_find("LAST", &store_), "without newline");
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ConfStream, InvalidLinesAcrossManyBlocksAreLoggedWhole) {
  std::vector<LogLine> expected;
  std::string text;
  for (int i = 0; i < 10000; ++i) {
    const std::string line = "BAD_" + std::to_string(i) + "=value " + std::to_string(i) + "\n";
    text += line;
    expected.push_back(noSpaceAfterName(line));
  }
  EXPECT_EQ(read(text), 0);
  EXPECT_EQ(store_.count, 0u);
  EXPECT_EQ(log_.lines(), expected);
}

TEST_F(ConfStream, LineLongerThanABlockIsKeptWhole) {
  const std::string value(300000, 'v');
  EXPECT_EQ(read("SHORT s\nLONG " + value + "\nAFTER a\n# " + value + "\nLAST " + value), 0);
  EXPECT_STREQ(conf_store_find("SHORT", &store_), "s");
  EXPECT_EQ(conf_store_find("LONG", &store_), value);
  EXPECT_STREQ(conf_store_find("AFTER", &store_), "a");
  EXPECT_EQ(conf_store_find("LAST", &store_), value);
  EXPECT_EQ(store_.count, 4u);
}

TEST_F(ConfStream, DefinitionsAfterBlocksOfComments) {
  std::string text;
  while (text.size() < 512 * 1024) text += "# a comment line, longer than most\n";
  text += "X 1\n";
  while (text.size() < 1024 * 1024) text += "\t   \n";
  text += "Y 2\n";
  EXPECT_EQ(read(text), 0);
  EXPECT_STREQ(conf_store_find("X", &store_), "1");
  EXPECT_STREQ(conf_store_find("Y", &store_), "2");
  EXPECT_EQ(store_.count, 2u);
  EXPECT_TRUE(log_.lines().empty());
}

// A value stays valid as long as the store, also once a later definition
// replaced it.
TEST_F(ConfStream, ReplacedValueStaysValid) {
  EXPECT_EQ(read("X first\n"), 0);
  const char* first = conf_store_find("X", &store_);
  EXPECT_EQ(read("X second\n"), 0);
  EXPECT_STREQ(conf_store_find("X", &store_), "second");
  EXPECT_STREQ(first, "first");
  EXPECT_EQ(conf_store_set("X", "third", &store_), 0);
  EXPECT_STREQ(conf_store_find("X", &store_), "third");
  EXPECT_STREQ(first, "first");
}

}  // namespace
