// Fuzzes Regexp::Escape: an escaped text, anchored with "^" and "$", must
// compile in the syntax it was escaped for and match the text itself exactly
// (the whole text, from its first byte), and must not match the text with any
// one byte changed.
//
// Input: one byte of options (bit 0: extended syntax, bit 1: REG_NEWLINE,
// bit 2: REG_NOSUB), then the text.
//
// Zero bytes: POSIX patterns and subjects are C strings, so a pattern or a
// subject ends at its first zero byte and a zero byte cannot be matched. Escape
// itself must pass zero bytes through unchanged, which is checked on the whole
// text; the matching is checked on the text up to its first zero byte.
// Line feeds: ordinary characters in both syntaxes; with REG_NEWLINE the
// anchors also match around them, which must not make a literal pattern match
// anything but the whole text, so both settings are fuzzed.

#include <quill/util/regexp.h>

#include "fuzz/fuzz_check.h"

#include <regex.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace {

bool isSpecial(char c, bool extended) {
  return std::strchr("\\.*[]^$", c) != nullptr ||
         (extended && std::strchr("+?{}()|", c) != nullptr);
}

// Escape's output, read back: a backslash before each special byte and
// nothing else added.
void checkEscapedForm(const std::string& text, const std::string& escaped, bool extended) {
  size_t at = 0;
  for (char c : text) {
    if (c != '\0' && isSpecial(c, extended)) {
      FUZZ_CHECK(at < escaped.size() && escaped[at] == '\\');
      ++at;
    }
    FUZZ_CHECK(at < escaped.size() && escaped[at] == c);
    ++at;
  }
  FUZZ_CHECK(at == escaped.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool extended = (data[0] & 1) != 0;
  const int flags = (extended ? REG_EXTENDED : 0) | ((data[0] & 2) != 0 ? REG_NEWLINE : 0) |
                    ((data[0] & 4) != 0 ? REG_NOSUB : 0);
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::string escaped = quill::Regexp::Escape(text, extended);
  checkEscapedForm(text, escaped, extended);

  const std::string literal = text.substr(0, text.find('\0'));
  const std::string pattern = "^" + quill::Regexp::Escape(literal, extended) + "$";
  try {
    const quill::Regexp regexp(pattern, flags);
    quill::Regexp::MatchResultData result;
    FUZZ_CHECK(regexp.MatchInto(&result, literal, 1, 0));
    if ((flags & REG_NOSUB) == 0) {
      FUZZ_CHECK(result.groups.size() == 1);
      FUZZ_CHECK(result.groups[0].start == 0);
      FUZZ_CHECK(result.groups[0].length == literal.size());
    }
    // A literal pattern of n bytes matches no other text, neither one of the
    // same length with a byte changed nor one a byte longer or shorter.
    if (!literal.empty()) {
      std::string changed = literal;
      const size_t at = literal.size() / 2;
      changed[at] = changed[at] == 'a' ? 'b' : 'a';
      FUZZ_CHECK(!regexp.MatchInto(nullptr, changed, 0, 0));
      FUZZ_CHECK(!regexp.MatchInto(nullptr, literal.substr(1), 0, 0));
    }
    FUZZ_CHECK(!regexp.MatchInto(nullptr, literal + "a", 0, 0));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "escaped pattern rejected: %s\n", error.what());
    FUZZ_CHECK(!"an escaped text must compile");
  }
  return 0;
}
