#pragma once
// Descriptor and message primitives for code that runs in a child before
// exec; private to quill/sys.
//
// Everything here is safe between fork and exec and in a child that shares
// the caller's memory: no allocation, no exception, only system calls, and
// results are returned as an errno value (0 for success) instead of raised.

#include <cstddef>

namespace quill::sys::detail {

/// Makes `src` the descriptor `target` (open across exec) and closes `src`.
/// When both are the same descriptor only its close-on-exec flag is cleared,
/// so a pipe end that happens to get number 0 or 1 survives. 0 or errno.
int moveFd(int src, int target) noexcept;

/// Makes `target` a copy of `src` that stays open across exec; `src` stays
/// open. The same descriptor only loses its close-on-exec flag. 0 or errno.
int copyFd(int src, int target) noexcept;

/// Opens `path` with `flags` (mode 0664) onto `target`. 0 or errno.
int openOnto(const char* path, int flags, int target) noexcept;

/// open(2) flags of a file written by a preparation.
int writeFlags(bool append) noexcept;

/// Closes `fd` if open and marks it -1.
void closeFd(int& fd) noexcept;

/// Writes all `size` bytes, retrying interrupted and short writes. 0, or the
/// errno of the write that failed (EPIPE when the reader has gone).
int writeAll(int fd, const char* data, std::size_t size) noexcept;

/// The system's text for an errno value, without translation or allocation.
const char* errorText(int errorNumber) noexcept;

/// A line of text composed without allocation; an overlong line is cut.
class LineBuffer {
 public:
  /// Appends `text`; a null text adds nothing.
  LineBuffer& add(const char* text) noexcept;
  /// Appends `number` in decimal.
  LineBuffer& addNumber(long long number) noexcept;
  /// Appends `number` in octal with a leading 0.
  LineBuffer& addOctal(unsigned number) noexcept;
  /// The text so far, zero-terminated.
  const char* text() const noexcept { return text_; }
  /// Its length.
  std::size_t size() const noexcept { return used_; }

 private:
  char text_[1024] = {};
  std::size_t used_ = 0;
};

/// Writes `line` and a line feed to standard error in one write, keeping
/// errno.
void writeLine(const LineBuffer& line) noexcept;

/// Writes "<program>: <part1><part2><part3>\n" to standard error in one
/// write; null parts are skipped, an overlong line is cut.
void writeChildLine(const char* program, const char* part1, const char* part2 = nullptr,
                    const char* part3 = nullptr) noexcept;

/// Exit code of a child whose exec failed with `errorNumber`: 127 when the
/// program was not found, else 126.
int execFailureCode(int errorNumber) noexcept;

/// Exit code of a child whose set-up before exec failed.
constexpr int kSetupFailureCode = 126;

}  // namespace quill::sys::detail
