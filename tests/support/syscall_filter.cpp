#include "tests/support/syscall_filter.h"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstddef>

namespace quill::test {
namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArchitecture = AUDIT_ARCH_AARCH64;
#elif defined(__i386__)
constexpr std::uint32_t kArchitecture = AUDIT_ARCH_I386;
#else
#error "the system call filter knows no audit architecture for this target"
#endif

// Where a 64-bit argument's low and high 32-bit words lie in seccomp_data:
// the filter loads 32 bits at a time.
constexpr std::uint32_t argumentWord(int index, bool high) {
  const bool highFirst = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;
  return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * index +
                                    (high != highFirst ? 4 : 0));
}

sock_filter load(std::uint32_t offset) {
  return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
}

// Goes on with the next instruction when the accumulator equals value, and
// skips `otherwise` instructions when it does not.
sock_filter nextIfEqual(std::uint32_t value, std::uint8_t otherwise) {
  return BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, otherwise);
}

sock_filter answer(std::uint32_t action) {
  return BPF_STMT(BPF_RET | BPF_K, action);
}

}  // namespace

int refuseSyscall(const SyscallRefusal& refusal) noexcept {
  if (refusal.argument < -1 || refusal.argument > 5) return EINVAL;
  const bool onArgument = refusal.argument >= 0;
  sock_filter program[11];
  unsigned short length = 0;
  const auto add = [&program, &length](sock_filter instruction) {
    program[length++] = instruction;
  };
  add(load(offsetof(seccomp_data, arch)));
  add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArchitecture, 1, 0));
  add(answer(SECCOMP_RET_KILL_PROCESS));
  // Every test that fails skips to the last instruction, which lets the call
  // run.
  add(load(offsetof(seccomp_data, nr)));
  add(nextIfEqual(static_cast<std::uint32_t>(refusal.number), onArgument ? 5 : 1));
  if (onArgument) {
    add(load(argumentWord(refusal.argument, false)));
    add(nextIfEqual(static_cast<std::uint32_t>(refusal.value), 3));
    add(load(argumentWord(refusal.argument, true)));
    add(nextIfEqual(static_cast<std::uint32_t>(refusal.value >> 32), 1));
  }
  add(answer(SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(refusal.error) & SECCOMP_RET_DATA)));
  add(answer(SECCOMP_RET_ALLOW));
  const sock_fprog filter{length, program};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) return errno;
  return 0;
}

}  // namespace quill::test
