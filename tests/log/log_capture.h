#pragma once
// Helpers for tests of code that writes to the log channel or to the console:
//  - LogRecorder points log_message and log_vmessage at a recorder for its
//    lifetime, keeping each message's level and formatted text;
//  - StdioCapture redirects descriptors 1 and 2 to temporary files and hands
//    back what was written to each;
//  - CHILD_CHECK and friends report a failed check from a forked child (a
//    death-test statement) on standard error and end it with status 1.

#include <quill/log/log.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace quill::test {

struct LogLine {
  int level;
  std::string text;
  bool operator==(const LogLine& other) const { return level == other.level && text == other.text; }
};

// For assertion messages: the level and the text as a quoted string.
inline void PrintTo(const LogLine& line, std::ostream* out) {
  *out << "{" << line.level << ", \"" << line.text << "\"}";
}

inline std::vector<LogLine>& recordedLog() {
  static std::vector<LogLine> lines;
  return lines;
}

__attribute__((format(printf, 2, 0))) inline void recordVMessage(int level, const char* format,
                                                                 va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(length > 0 ? length : 0, '\0');
  vsnprintf(text.data(), text.size() + 1, format, args);
  recordedLog().push_back({level, text});
}

__attribute__((format(printf, 2, 3))) inline void recordMessage(int level, const char* format,
                                                                ...) {
  va_list args;
  va_start(args, format);
  recordVMessage(level, format, args);
  va_end(args);
}

class LogRecorder {
 public:
  LogRecorder() : savedMessage_(log_message), savedVMessage_(log_vmessage) {
    recordedLog().clear();
    log_message = recordMessage;
    log_vmessage = recordVMessage;
  }
  ~LogRecorder() {
    log_message = savedMessage_;
    log_vmessage = savedVMessage_;
  }
  LogRecorder(const LogRecorder&) = delete;
  LogRecorder& operator=(const LogRecorder&) = delete;

  const std::vector<LogLine>& lines() const { return recordedLog(); }
  void clear() { recordedLog().clear(); }

 private:
  decltype(log_message) savedMessage_;
  decltype(log_vmessage) savedVMessage_;
};

// Captures what is written to descriptors 1 and 2 (through stdio or not)
// until stop() or destruction.
class StdioCapture {
 public:
  StdioCapture() {
    fflush(stdout);
    fflush(stderr);
    for (int fd : {1, 2}) {
      files_[fd - 1] = tmpfile();
      saved_[fd - 1] = dup(fd);
      dup2(fileno(files_[fd - 1]), fd);
    }
  }
  ~StdioCapture() {
    stop();
    for (FILE* file : files_) fclose(file);
  }
  StdioCapture(const StdioCapture&) = delete;
  StdioCapture& operator=(const StdioCapture&) = delete;

  void stop() {
    if (saved_[0] < 0) return;
    fflush(stdout);
    fflush(stderr);
    for (int fd : {1, 2}) {
      dup2(saved_[fd - 1], fd);
      close(saved_[fd - 1]);
      saved_[fd - 1] = -1;
    }
  }
  std::string out() { return contentOf(files_[0]); }
  std::string err() { return contentOf(files_[1]); }

 private:
  std::string contentOf(FILE* file) {
    stop();
    std::string content;
    char chunk[4096];
    ssize_t got;
    for (off_t at = 0; (got = pread(fileno(file), chunk, sizeof chunk, at)) > 0; at += got)
      content.append(chunk, static_cast<size_t>(got));
    return content;
  }

  FILE* files_[2] = {};
  int saved_[2] = {-1, -1};
};

}  // namespace quill::test

// Checks for the body of a forked child: a failure is reported on standard
// error, which the death-test assertion shows, and ends the child.
#define CHILD_CHECK(condition)                                                      \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      _exit(1);                                                                     \
    }                                                                               \
  } while (0)

#define CHILD_CHECK_STREQ(actual, expected)                                                    \
  do {                                                                                         \
    const char* childActual = (actual);                                                        \
    const char* childExpected = (expected);                                                    \
    if (childActual == nullptr || childExpected == nullptr                                     \
            ? childActual != childExpected                                                     \
            : std::strcmp(childActual, childExpected) != 0) {                                  \
      fprintf(stderr, "%s:%d: %s is \"%s\", expected \"%s\"\n", __FILE__, __LINE__, #actual,   \
              childActual ? childActual : "(null)", childExpected ? childExpected : "(null)"); \
      _exit(1);                                                                                \
    }                                                                                          \
  } while (0)

namespace quill::test {

// The end of a forked child that has passed its checks.
template <typename Body>
[[noreturn]] void finishChild(Body body) {
  body();
  fflush(nullptr);
  _exit(0);
}

}  // namespace quill::test

// Runs the statements given in a forked child that must end with status 0.
// Variadic and wrapped in a call, so that the statements may hold commas.
#define EXPECT_IN_CHILD(...) \
  EXPECT_EXIT(::quill::test::finishChild([&] { __VA_ARGS__; }), ::testing::ExitedWithCode(0), "")
