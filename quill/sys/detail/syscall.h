#pragma once
// System calls for code that runs in a child sharing the caller's memory;
// private to quill/sys.
//
// A child started with the caller's memory goes on with its set-up while
// the caller goes on too. The C library's wrappers would write errno, which
// lives in the caller thread's storage that such a child shares, and some
// of them switch that thread's cancellation state; these calls touch neither.
// Each returns what the kernel returns: the result, or a negative errno
// value on failure.

#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>

namespace quill::sys::detail {

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

}  // namespace quill::sys::detail
