#include <quill/util/regexp.h>

#include <boost/make_shared.hpp>

#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

namespace quill {

namespace {

// The C library's own text for a regcomp or regexec result code.
std::string regexErrorText(int code, const regex_t* regex) {
  size_t size = regerror(code, regex, nullptr, 0);
  std::vector<char> buffer(size);
  regerror(code, regex, buffer.data(), buffer.size());
  return std::string(buffer.data());
}

bool isSpecialInBasicSyntax(char c) {
  switch (c) {
    case '\\':
    case '.':
    case '*':
    case '[':
    case ']':
    case '^':
    case '$': return true;
    default: return false;
  }
}

bool isSpecialInExtendedSyntax(char c) {
  switch (c) {
    case '+':
    case '?':
    case '{':
    case '}':
    case '(':
    case ')':
    case '|': return true;
    default: return isSpecialInBasicSyntax(c);
  }
}

}  // namespace

std::string Regexp::MatchResultData::Text(const MatchGroup& group) const {
  if (group.start == -1) return std::string();
  // substr raises std::out_of_range for a start beyond the end and cuts the
  // length short at the end, which is what callers get.
  return subject.substr(static_cast<size_t>(group.start), static_cast<size_t>(group.length));
}

std::vector<std::string> Regexp::MatchResultData::Texts() const {
  std::vector<std::string> texts;
  texts.reserve(groups.size());
  for (const MatchGroup& group : groups) texts.push_back(Text(group));
  return texts;
}

Regexp::Regexp(const std::string& pattern, int flags) {
  int code = regcomp(&regex, pattern.c_str(), flags);
  if (code != 0) throw std::runtime_error(regexErrorText(code, &regex));
}

Regexp::~Regexp() {
  regfree(&regex);
}

boost::shared_ptr<Regexp::MatchResultData> Regexp::Match(const std::string& subject,
                                                         uint64_t groupCount, int execFlags) const {
  auto result = boost::make_shared<MatchResultData>();
  if (!MatchInto(result.get(), subject, 0, groupCount, execFlags)) return nullptr;
  return result;
}

bool Regexp::MatchInto(MatchResultData* result, const std::string& subject, uint64_t startOffset,
                       uint64_t groupCount, int execFlags) const {
  if (startOffset > subject.size()) {
    throw std::out_of_range("regular expression search starts beyond the end of the subject");
  }

  // Preset every slot to "took no part": regexec leaves the array alone for
  // an expression compiled with REG_NOSUB, and those slots must not be read
  // as positions.
  std::vector<regmatch_t> matches;
  if (result != nullptr && groupCount > 0) {
    regmatch_t unused;
    unused.rm_so = -1;
    unused.rm_eo = -1;
    matches.assign(static_cast<size_t>(groupCount), unused);
  }

  // The C library counts positions in an int and answers "no match" for a
  // longer text rather than failing; say so instead of hiding a match.
  const char* searched = subject.c_str() + startOffset;
  constexpr size_t kLongestSearch = std::numeric_limits<regoff_t>::max();
  if (subject.size() - startOffset > kLongestSearch &&
      strnlen(searched, kLongestSearch + 1) > kLongestSearch) {
    throw std::runtime_error("regular expression search over more than " +
                             std::to_string(kLongestSearch) + " bytes");
  }

  int code = regexec(&regex, searched, matches.size(), matches.empty() ? nullptr : matches.data(),
                     execFlags);
  if (code == REG_NOMATCH) return false;
  if (code != 0) throw std::runtime_error(regexErrorText(code, &regex));
  if (result == nullptr) return true;

  // Build everything first and move it in last, so that running out of
  // memory leaves the caller's result as it was.
  std::vector<MatchGroup> groups(matches.size());
  for (size_t i = 0; i < matches.size(); ++i) {
    if (matches[i].rm_so == -1) continue;
    groups[i].start = static_cast<int64_t>(startOffset) + matches[i].rm_so;
    groups[i].length = static_cast<uint64_t>(matches[i].rm_eo - matches[i].rm_so);
  }
  std::string subjectCopy(subject);

  result->subject = std::move(subjectCopy);
  result->offset = startOffset;
  result->groups = std::move(groups);
  return true;
}

std::string Regexp::Escape(const std::string& text, bool extended) {
  std::string escaped;
  escaped.reserve(text.size());
  for (char c : text) {
    if (extended ? isSpecialInExtendedSyntax(c) : isSpecialInBasicSyntax(c)) escaped += '\\';
    escaped += c;
  }
  return escaped;
}

}  // namespace quill
