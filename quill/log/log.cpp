// The log channel: process-wide variables and two function pointers.

#include <quill/log/log.h>

#include <errno.h>
#include <stdio.h>
#include <strings.h>

const char* log_console_target = nullptr;
int log_threshold = LOG_INFO;
int log_facility = 0;
void (*log_message)(int, const char*, ...) = console_log;
void (*log_vmessage)(int, const char*, va_list) = console_vlog;

namespace {

// LOG_UPTO(level) without its undefined shifts: a negative level gives the
// empty mask (setlogmask then keeps the mask it has), a level of 31 or more
// lets every severity through instead of shifting past the width of an int.
int maskUpTo(int level) {
  if (level < 0) return 0;
  if (level >= 31) return ~0;
  return static_cast<int>((1u << (level + 1)) - 1u);
}

// One formatted line on one stream, flushed at once so that messages
// interleave with other output only at line boundaries.
void writeLine(FILE* stream, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  vfprintf(stream, format, copy);
  va_end(copy);
  fputc('\n', stream);
  fflush(stream);
}

}  // namespace

int log_init(const char* console_target, int level, int facility, int options, const char* ident) {
  log_facility = facility;
  log_console_target = console_target;
  if (console_target != nullptr) {
    log_message = console_log;
    log_vmessage = console_vlog;
  } else {
    closelog();
    openlog(ident, options | LOG_PID, log_facility);
    log_message = syslog;
    log_vmessage = vsyslog;
  }
  return log_set_level(level);
}

int log_set_level(int level) {
  log_threshold = level < 0 ? 0 : level;
  if (log_console_target != nullptr) return log_threshold;
  return setlogmask(maskUpTo(level));
}

void console_log(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  console_vlog(level, format, args);
  va_end(args);
}

void console_vlog(int level, const char* format, va_list args) {
  if (level > log_threshold) return;
  const bool toStdout =
      log_console_target == nullptr || strcasecmp(log_console_target, "console") == 0;
  if (!toStdout && strcasecmp(log_console_target, "stderr") != 0) return;
  // Callers log a failure and then hand its errno on; writing must not change it.
  const int savedErrno = errno;
  writeLine(stderr, format, args);
  if (toStdout) writeLine(stdout, format, args);
  errno = savedErrno;
}
