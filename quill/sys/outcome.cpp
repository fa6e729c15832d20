// How a run ended, in one line for a log.

#include <quill/sys/outcome.h>

#include <cstring>
#include <string>

namespace quill::sys {

namespace {

// Whether `word` has to be quoted: empty, or holding a byte outside the
// ones a shell reads as a plain word. A first word holding "=" would be
// read as an assignment.
bool needsQuotes(const std::string& word, bool first) {
  if (word.empty()) return true;
  if (first && word.find('=') != std::string::npos) return true;
  return word.find_first_not_of(
             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
             "0123456789_@%+=:,./-") != std::string::npos;
}

// The length of the UTF-8 sequence at `at`, or 0 when it is none.
std::size_t utf8Length(const std::string& word, std::size_t at) {
  const auto lead = static_cast<unsigned char>(word[at]);
  const std::size_t length = lead >= 0xf0 && lead <= 0xf4   ? 4
                             : lead >= 0xe0                 ? 3
                             : lead >= 0xc2 && lead <= 0xdf ? 2
                                                            : 0;
  if (length == 0 || at + length > word.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(word[at + i]) & 0xc0) != 0x80) return 0;
  }
  return length;
}

// Whether single quotes keep `word` on one line and readable: no control
// byte and nothing that is not UTF-8.
bool printable(const std::string& word) {
  for (std::size_t i = 0; i < word.size();) {
    const auto c = static_cast<unsigned char>(word[i]);
    if (c < 0x20 || c == 0x7f) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    const std::size_t length = utf8Length(word, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

// `word` in $'...': every byte that is not printable ASCII as an escape.
std::string ansiQuoted(const std::string& word) {
  static const char kHex[] = "0123456789abcdef";
  std::string quoted = "$'";
  for (const char c : word) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\'' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (c == '\n') {
      quoted += "\\n";
    } else if (c == '\t') {
      quoted += "\\t";
    } else if (byte < 0x20 || byte >= 0x7f) {
      quoted += "\\x";
      quoted += kHex[byte >> 4];
      quoted += kHex[byte & 15];
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

// `word` as a POSIX shell (bash, dash's $'' aside) reads it back as one
// word: plain when it needs no quotes, in single quotes when they keep it
// readable on one line, else in $'...'.
std::string shellQuote(const std::string& word, bool first) {
  if (!needsQuotes(word, first)) return word;
  if (!printable(word)) return ansiQuoted(word);
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string commandLine(const std::vector<std::string>& words) {
  std::string line;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) line += ' ';
    line += shellQuote(words[i], i == 0);
  }
  return line;
}

const char* errorText(int errorNumber) {
  const char* text = strerrordesc_np(errorNumber);
  return text != nullptr ? text : "Unknown error";
}

// How `stage` ended, in words.
std::string endOf(const TStage& stage) {
  if (stage.setupError != 0)
    return "could not " + stage.setupStep + ": " + errorText(stage.setupError);
  if (stage.pid == -1) return "not started";
  if (!stage.statusKnown) return "end not observed";
  if (stage.signal != 0) {
    const char* name = sigabbrev_np(stage.signal);
    return "killed by " +
           (name != nullptr ? "SIG" + std::string(name) : "signal " + std::to_string(stage.signal));
  }
  return "exit " + std::to_string(stage.exitCode);
}

}  // namespace

bool TOutcome::Ok() const {
  if (timedOut) return false;
  for (const TStage& stage : stages) {
    if (!stage.statusKnown || stage.exitCode != 0 || stage.setupError != 0) return false;
  }
  return true;
}

int TOutcome::ExitCode() const {
  return stages.empty() ? -1 : stages.back().exitCode;
}

std::string TOutcome::Describe() const {
  std::string line = timedOut ? "timed out: " : "";
  for (std::size_t i = 0; i < stages.size(); ++i) {
    if (i > 0) line += i - 1 < piped_.size() && piped_[i - 1] ? " | " : "; ";
    if (i < commands_.size()) line += commandLine(commands_[i]) + " ";
    line += "(" + endOf(stages[i]) + ")";
  }
  if (truncated) line += " [output truncated]";
  // The step of a failed set-up names a path, which may hold any byte.
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}

}  // namespace quill::sys
