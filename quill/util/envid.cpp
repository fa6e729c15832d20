#include <quill/util/envid.h>

#include <quill/files/read_file.h>
#include <quill/util/regexp.h>

namespace quill {

std::string parseEnvId(const std::string& statusText) {
  // With REG_NEWLINE a caret and a dollar sign match at every line, so the
  // whole text is searched at once. The blanks between the colon and the
  // digits are listed byte by byte rather than as [[:space:]]: that class
  // holds the line feed too, and would let "envID:" at the end of one line
  // take its digits from the next.
  static const char kPattern[] = "^envID:[ \t\v\f\r]*([[:digit:]]+)$";
  const Regexp envIdLine(kPattern, REG_EXTENDED | REG_NEWLINE);
  boost::shared_ptr<Regexp::MatchResultData> match = envIdLine.Match(statusText, 2, 0);
  if (!match || match->GroupAt(1).start == -1) return std::string();
  return match->Text(1);
}

std::string getEnvId() {
  return parseEnvId(readFile("/proc/self/status"));
}

}  // namespace quill
