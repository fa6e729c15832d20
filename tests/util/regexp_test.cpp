#include <quill/util/regexp.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include <random>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace quill {
namespace {

using Group = Regexp::MatchGroup;

void expectGroup(const Group& group, int64_t start, uint64_t length) {
  EXPECT_EQ(group.start, start);
  EXPECT_EQ(group.length, length);
}

// The C library's own message for compiling pattern and, when that works,
// searching subject with execFlags; "" when both succeed.
std::string libraryMessage(const char* pattern, int flags, const char* subject = "",
                           int execFlags = 0) {
  regex_t regex;
  int code = regcomp(&regex, pattern, flags);
  char message[256] = "";
  if (code != 0) {
    regerror(code, &regex, message, sizeof message);
    return message;
  }
  code = regexec(&regex, subject, 0, nullptr, execFlags);
  if (code != 0 && code != REG_NOMATCH) regerror(code, &regex, message, sizeof message);
  regfree(&regex);
  return message;
}

TEST(Regexp, RejectedPatternRaisesTheLibrarysOwnMessage) {
  const std::string expected = libraryMessage("a(b", REG_EXTENDED);
  ASSERT_FALSE(expected.empty());
  try {
    Regexp regexp("a(b", REG_EXTENDED);
    FAIL() << "an unbalanced parenthesis compiled";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), expected);
  }
}

TEST(Regexp, GroupThatTookNoPartHasNoPlaceAndNoText) {
  auto match = Regexp("a(b)?c", REG_EXTENDED).Match("ac", 2, 0);
  ASSERT_TRUE(match);
  ASSERT_EQ(match->groups.size(), 2u);
  expectGroup(match->GroupAt(0), 0, 2);
  expectGroup(match->GroupAt(1), -1, 0);
  EXPECT_EQ(match->Text(1), "");
  EXPECT_EQ(match->Texts(), (std::vector<std::string>{"ac", ""}));
}

TEST(Regexp, MatchGivesTheTextsOfAllGroupsAndNothingWithoutAMatch) {
  const Regexp keyValue("([a-z]+)=([0-9]+)", REG_EXTENDED);
  auto match = keyValue.Match("  port=8443 ", 3, 0);
  ASSERT_TRUE(match);
  EXPECT_EQ(match->Texts(), (std::vector<std::string>{"port=8443", "port", "8443"}));
  expectGroup(match->GroupAt(2), 7, 4);
  EXPECT_EQ(match->offset, 0u);
  EXPECT_FALSE(keyValue.Match("port=", 3, 0));
}

TEST(Regexp, MoreGroupsThanTheExpressionHasComeBackEmpty) {
  auto match = Regexp("b", 0).Match("abc", 3, 0);
  ASSERT_TRUE(match);
  ASSERT_EQ(match->groups.size(), 3u);
  expectGroup(match->groups[0], 1, 1);
  expectGroup(match->groups[2], -1, 0);
}

TEST(Regexp, ExpressionWithoutSubexpressionReportsNoPositions) {
  // REG_NOSUB makes the C library leave the position array alone.
  auto match = Regexp("(b)", REG_EXTENDED | REG_NOSUB).Match("abc", 2, 0);
  ASSERT_TRUE(match);
  expectGroup(match->groups[0], -1, 0);
  expectGroup(match->groups[1], -1, 0);
}

TEST(Regexp, StartOffsetPositionsCountFromTheWholeSubject) {
  const Regexp regexp("^ab", 0);
  Regexp::MatchResultData result;
  ASSERT_TRUE(regexp.MatchInto(&result, "ab-ab", 3, 1, 0));
  EXPECT_EQ(result.subject, "ab-ab");
  EXPECT_EQ(result.offset, 3u);
  expectGroup(result.GroupAt(0), 3, 2);
  EXPECT_EQ(result.Text(0), "ab");

  // The caret stands at the start offset unless the caller says otherwise.
  EXPECT_FALSE(regexp.MatchInto(&result, "ab-ab", 3, 1, REG_NOTBOL));
}

TEST(Regexp, StartOffsetAtTheEndSearchesTheEmptyRest) {
  Regexp::MatchResultData result;
  EXPECT_TRUE(Regexp("^$", 0).MatchInto(&result, "abc", 3, 1, 0));
  expectGroup(result.GroupAt(0), 3, 0);
  EXPECT_THROW(Regexp("^$", 0).MatchInto(&result, "abc", 4, 1, 0), std::out_of_range);
  EXPECT_THROW(Regexp("x", 0).MatchInto(nullptr, "", 1, 0, 0), std::out_of_range);
}

TEST(Regexp, MatchIntoWithoutResultOnlyAnswers) {
  const Regexp regexp("b+", REG_EXTENDED);
  EXPECT_TRUE(regexp.MatchInto(nullptr, "abbc", 5, 0));
  EXPECT_FALSE(regexp.MatchInto(nullptr, "ac", 5, 0));
}

TEST(Regexp, ZeroGroupsStoresSubjectAndOffsetAndDropsOldGroups) {
  Regexp::MatchResultData result;
  result.groups.resize(4);
  ASSERT_TRUE(Regexp("c", 0).MatchInto(&result, "abc", 1, 0, 0));
  EXPECT_EQ(result.subject, "abc");
  EXPECT_EQ(result.offset, 1u);
  EXPECT_TRUE(result.groups.empty());
  EXPECT_TRUE(result.Texts().empty());
}

TEST(Regexp, NoMatchOrFailedSearchLeavesTheResultAlone) {
  Regexp::MatchResultData result;
  ASSERT_TRUE(Regexp("b", 0).MatchInto(&result, "abc", 1, 0));
  EXPECT_FALSE(Regexp("q", 0).MatchInto(&result, "xyz", 1, 0));
  EXPECT_THROW(Regexp("b", 0).MatchInto(&result, "xyzb", 9, 1, 0), std::out_of_range);

  // Execution flags go to the C library unchanged; one it does not know
  // makes the search itself fail.
  const int unknownFlag = 1 << 12;
  const std::string expected = libraryMessage("b", 0, "xyzb", unknownFlag);
  ASSERT_FALSE(expected.empty());
  try {
    Regexp("b", 0).MatchInto(&result, "xyzb", 1, unknownFlag);
    FAIL() << "an unknown execution flag was accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), expected);
  }
  EXPECT_EQ(result.subject, "abc");
  EXPECT_EQ(result.offset, 0u);
  ASSERT_EQ(result.groups.size(), 1u);
  expectGroup(result.groups[0], 1, 1);
}

TEST(Regexp, AnchoredLinePatternFindsAMiddleLine) {
  const Regexp regexp("^Name:[[:space:]]*([a-z]+)$", REG_EXTENDED | REG_NEWLINE);
  auto match = regexp.Match("Umask:\t0022\nName:\tbash\nState:\tR\n", 2, 0);
  ASSERT_TRUE(match);
  EXPECT_EQ(match->Text(1), "bash");
  expectGroup(match->GroupAt(0), 12, 10);
}

TEST(MatchResultData, TextIsCutAtTheSubjectsEndAndRefusesAStartBeyondIt) {
  Regexp::MatchResultData result;
  result.subject = "abcdef";
  result.groups = {Group{4, 10}, Group{6, 1}, Group{7, 0}};
  EXPECT_EQ(result.Text(0), "ef");
  EXPECT_EQ(result.Text(1), "");
  EXPECT_THROW(result.Text(2), std::out_of_range);
  EXPECT_THROW(result.Texts(), std::out_of_range);
  EXPECT_THROW(result.GroupAt(3), std::out_of_range);
  EXPECT_THROW(result.Text(3), std::out_of_range);
}

TEST(MatchResultData, OutlivesTheSubjectItWasMadeFrom) {
  std::string subject = "key=value";
  auto match = Regexp("=(.*)", REG_EXTENDED).Match(subject, 2, 0);
  subject.assign(100, 'x');
  ASSERT_TRUE(match);
  EXPECT_EQ(match->Text(1), "value");
}

#if defined(__SANITIZE_ADDRESS__)
#define QUILL_UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILL_UNDER_ADDRESS_SANITIZER 1
#endif
#endif

// Why a test that touches gigabytes cannot run here, or "" when it can.
std::string hugeMemoryUnavailableReason(uint64_t bytes) {
#ifdef QUILL_UNDER_ADDRESS_SANITIZER
  return "address sanitizer: its shadow memory makes gigabyte strings impractical";
#endif
  const char* preload = getenv("LD_PRELOAD");
  if (preload != nullptr && strstr(preload, "vgpreload") != nullptr) {
    return "under valgrind: copying gigabytes would take minutes";
  }
  const long pages = sysconf(_SC_AVPHYS_PAGES);
  if (pages < 0 || static_cast<uint64_t>(pages) * sysconf(_SC_PAGESIZE) < 2 * bytes) {
    return "needs " + std::to_string(2 * bytes >> 30) + " GiB of free memory";
  }
  return "";
}

TEST(Regexp, SubjectsBeyondTwoGibibytesKeepPlacesOrFailLoudly) {
  const uint64_t offset = (uint64_t{1} << 31) + 8;
  // The subject and the result's copy of it.
  const std::string unavailable = hugeMemoryUnavailableReason(2 * (offset + 64));
  if (!unavailable.empty()) GTEST_SKIP() << unavailable;
  std::string subject(offset + 16, 'a');
  subject[offset + 3] = 'b';
  Regexp::MatchResultData result;
  ASSERT_TRUE(Regexp("b(a)", REG_EXTENDED).MatchInto(&result, subject, offset, 2, 0));
  expectGroup(result.GroupAt(0), static_cast<int64_t>(offset + 3), 2);
  expectGroup(result.GroupAt(1), static_cast<int64_t>(offset + 4), 1);
  EXPECT_EQ(result.Text(0), "ba");

  // From the beginning there is more to search than the C library can
  // count; it would answer "no match", which must not pass for an answer.
  EXPECT_THROW(Regexp("b(a)", REG_EXTENDED).MatchInto(&result, subject, 0, 2, 0),
               std::runtime_error);
  EXPECT_EQ(result.offset, offset);
  EXPECT_THROW(Regexp("b", 0).Match(subject, 1, 0), std::runtime_error);
}

TEST(RegexpEscape, BackslashesExactlyTheSpecialCharactersOfEachSyntax) {
  EXPECT_EQ(Regexp::Escape("a.b", false), "a\\.b");
  EXPECT_EQ(Regexp::Escape("a.b", true), "a\\.b");
  EXPECT_EQ(Regexp::Escape("f(x)", false), "f(x)");
  EXPECT_EQ(Regexp::Escape("f(x)", true), "f\\(x\\)");
  EXPECT_EQ(Regexp::Escape("\\.*[]^$", false), "\\\\\\.\\*\\[\\]\\^\\$");
  EXPECT_EQ(Regexp::Escape("+?{}()|", false), "+?{}()|");
  EXPECT_EQ(Regexp::Escape("+?{}()|", true), "\\+\\?\\{\\}\\(\\)\\|");
  EXPECT_EQ(Regexp::Escape("", true), "");
  EXPECT_EQ(Regexp::Escape(std::string("a\0b", 3), true), std::string("a\0b", 3));
}

TEST(RegexpEscape, EscapedTextMatchesItselfAndNothingLonger) {
  const std::string specials = "\\.*[]^$+?{}()|";
  std::mt19937 random(20261208);
  for (int round = 0; round < 400; ++round) {
    std::string text(random() % 24, ' ');
    for (char& c : text) {
      // Half of the characters special ones, the rest any printable.
      c = random() % 2 ? specials[random() % specials.size()]
                       : static_cast<char>(' ' + random() % 95);
    }
    for (bool extended : {false, true}) {
      SCOPED_TRACE((extended ? "extended: " : "basic: ") + text);
      const Regexp regexp("^" + Regexp::Escape(text, extended) + "$", extended ? REG_EXTENDED : 0);
      auto match = regexp.Match(text, 1, 0);
      ASSERT_TRUE(match);
      EXPECT_EQ(match->Text(0), text);
      EXPECT_FALSE(regexp.MatchInto(nullptr, text + "a", 0, 0));
      EXPECT_FALSE(regexp.MatchInto(nullptr, text + text.substr(0, 1) + "]", 0, 0));
      EXPECT_FALSE(regexp.MatchInto(nullptr, "(" + text, 0, 0));
    }
  }
}

}  // namespace
}  // namespace quill
