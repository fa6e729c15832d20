#pragma once
// Raw system calls, descriptors and message lines; private to quill/sys.
//
// The functions marked "child side" are safe between a child's start and
// exec, also in a child that shares the caller's memory while the caller
// goes on: no allocation, no exception, no errno, only system calls, and
// results returned as an errno value (0 for success). The others run in the
// caller.

#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <cstddef>

namespace quill::sys::detail {

// Raw system calls. A child started with the caller's memory goes on with
// its set-up while the caller goes on too. The C library's wrappers would
// write errno, which lives in the caller thread's storage that such a child
// shares, and some of them switch that thread's cancellation state; these
// calls touch neither. Each returns what the kernel returns: the result, or
// a negative errno value on failure.
#if defined(__x86_64__)

/// True where a child may run its set-up beside the caller: the system calls
/// below leave the caller's state alone.
constexpr bool kChildRunsBesideCaller = true;

inline long rawSyscall(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0,
                       long f = 0) noexcept {
  long result;
  register long r10 __asm__("r10") = d;
  register long r8 __asm__("r8") = e;
  register long r9 __asm__("r9") = f;
  __asm__ volatile("syscall"
                   : "=a"(result)
                   : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                   : "rcx", "r11", "memory");
  return result;
}

#elif defined(__aarch64__)

constexpr bool kChildRunsBesideCaller = true;

inline long rawSyscall(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0,
                       long f = 0) noexcept {
  register long x8 __asm__("x8") = number;
  register long x0 __asm__("x0") = a;
  register long x1 __asm__("x1") = b;
  register long x2 __asm__("x2") = c;
  register long x3 __asm__("x3") = d;
  register long x4 __asm__("x4") = e;
  register long x5 __asm__("x5") = f;
  __asm__ volatile("svc 0"
                   : "+r"(x0)
                   : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5)
                   : "memory", "cc");
  return x0;
}

#else

// Elsewhere the C library's wrapper serves, and a child runs its set-up only
// while the caller waits for it, so that nothing it writes is seen.
constexpr bool kChildRunsBesideCaller = false;

inline long rawSyscall(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0,
                       long f = 0) noexcept {
  const int saved = errno;
  long result = syscall(number, a, b, c, d, e, f);
  if (result == -1) result = -errno;
  errno = saved;
  return result;
}

#endif

/// A system call's answer as an errno value: 0 for success.
inline int errorOf(long result) noexcept {
  return result < 0 && result > -4096 ? static_cast<int>(-result) : 0;
}

/// Child side: makes `src` the descriptor `target` (open across exec) and
/// closes `src`. When both are the same descriptor only its close-on-exec
/// flag is cleared, so a pipe end that happens to get number 0 or 1
/// survives. 0 or errno.
int moveFd(int src, int target) noexcept;

/// Child side: makes `target` a copy of `src` that stays open across exec;
/// `src` stays open. The same descriptor only loses its close-on-exec flag.
/// 0 or errno.
int copyFd(int src, int target) noexcept;

/// Child side: opens `path` with `flags` (mode 0664) onto `target`. 0 or
/// errno.
int openOnto(const char* path, int flags, int target) noexcept;

/// Child side: closes `fd`.
void closeInChild(int fd) noexcept;

/// Child side: writes all `size` bytes, retrying interrupted and short
/// writes. 0, or the errno of the write that failed.
int writeAll(int fd, const char* data, std::size_t size) noexcept;

/// open(2) flags of a file written by a preparation.
int writeFlags(bool append) noexcept;

/// The system's text for an errno value, without translation or allocation.
const char* errorText(int errorNumber) noexcept;

/// Caller side: closes `fd` if open and marks it -1.
void closeFd(int& fd) noexcept;

/// Caller side: `fd`, or a close-on-exec copy of it at `floor` or above
/// (the original is closed), so that a descriptor of a run never takes a
/// number a child sets up, 0, 1 and 2 included. -1 with errno (and `fd`
/// closed) when no copy can be had.
int keepAbove(int fd, int floor) noexcept;

/// The two ends of a pipe; -1 when closed.
struct PipeEnds {
  int read = -1;
  int write = -1;
};

/// Caller side: a pipe whose ends are close-on-exec and at `floor` or
/// above. Raises TSysCallErr, with nothing left open, when it cannot be had.
PipeEnds makePipe(int floor);

/// A line of text composed without allocation; an overlong line is cut.
class LineBuffer {
 public:
  /// Appends `text`; a null text adds nothing.
  LineBuffer& add(const char* text) noexcept;
  /// Appends `number` in decimal.
  LineBuffer& addNumber(long long number) noexcept;
  /// The text so far, zero-terminated.
  const char* text() const noexcept { return text_; }
  /// Its length.
  std::size_t size() const noexcept { return used_; }

 private:
  char text_[1024] = {};
  std::size_t used_ = 0;
};

/// Child side: writes `line` and a line feed to standard error in one write.
void writeLine(const LineBuffer& line) noexcept;

/// Exit code of a child whose exec failed with `errorNumber`: 127 when the
/// program was not found, else 126.
int execFailureCode(int errorNumber) noexcept;

/// Exit code of a child whose set-up before exec failed.
constexpr int kSetupFailureCode = 126;

}  // namespace quill::sys::detail
