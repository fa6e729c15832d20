#include <quill/sys/detail/clone3.h>

#include <sched.h>
#include <cerrno>
#include <cstdint>

namespace quill::sys::detail {

namespace {

// The kernel's struct clone_args up to its cgroup member (the size it calls
// CLONE_ARGS_SIZE_VER2), which the C library of Debian 12 does not declare.
struct CloneArgs {
  std::uint64_t flags;
  std::uint64_t pidfd;
  std::uint64_t childTid;
  std::uint64_t parentTid;
  std::uint64_t exitSignal;
  std::uint64_t stack;  // the lowest address; the kernel starts at stack + stackSize
  std::uint64_t stackSize;
  std::uint64_t tls;
  std::uint64_t setTid;
  std::uint64_t setTidSize;
  std::uint64_t cgroup;
};
static_assert(sizeof(CloneArgs) == 88, "the kernel's CLONE_ARGS_SIZE_VER2");

constexpr std::uint64_t kIntoCgroup = 0x200000000ULL;  // CLONE_INTO_CGROUP, Linux 5.7
constexpr int kExitSignalBits = 0xff;                  // CSIGNAL

}  // namespace

}  // namespace quill::sys::detail

// clone3(args, size) in the caller, which returns its result. In the child
// (the call returned 0 there) the stack pointer is the new stack's top, and
// the registers the system call leaves alone still hold `fn` and `arg`: the
// child calls fn(arg) as the outermost frame of its stack and ends with
// exit_group when it returns, never going back into the caller's frames.
extern "C" long quill_sys_clone3(void* args, unsigned long size, int (*fn)(void*),
                                 void* arg) noexcept;

#if defined(__x86_64__)

// The syscall instruction clobbers rcx and r11 only; r8 and r9 carry fn and
// arg into the child.
__asm__(
    ".text\n"
    ".globl quill_sys_clone3\n"
    ".hidden quill_sys_clone3\n"
    ".type quill_sys_clone3, @function\n"
    ".p2align 4\n"
    "quill_sys_clone3:\n"
    "  movq %rdx, %r8\n"
    "  movq %rcx, %r9\n"
    "  movl $435, %eax\n"  // SYS_clone3
    "  syscall\n"
    "  testq %rax, %rax\n"
    "  jz 1f\n"
    "  ret\n"
    "1:\n"
    "  xorl %ebp, %ebp\n"
    "  andq $-16, %rsp\n"
    "  movq %r9, %rdi\n"
    "  callq *%r8\n"
    "  movl %eax, %edi\n"
    "  movl $231, %eax\n"  // SYS_exit_group
    "  syscall\n"
    "  hlt\n"
    ".size quill_sys_clone3, .-quill_sys_clone3\n");

#elif defined(__aarch64__)

// The svc instruction changes x0 only; x10 and x11 carry fn and arg into
// the child. "hint 34" is BTI C, a no-op where branch protection is off.
__asm__(
    ".text\n"
    ".globl quill_sys_clone3\n"
    ".hidden quill_sys_clone3\n"
    ".type quill_sys_clone3, %function\n"
    ".p2align 2\n"
    "quill_sys_clone3:\n"
    "  hint 34\n"
    "  mov x10, x2\n"
    "  mov x11, x3\n"
    "  mov x8, #435\n"  // SYS_clone3
    "  svc #0\n"
    "  cbz x0, 1f\n"
    "  ret\n"
    "1:\n"
    "  mov x29, xzr\n"
    "  mov x30, xzr\n"
    "  mov x0, x11\n"
    "  blr x10\n"
    "  mov x8, #94\n"  // SYS_exit_group
    "  svc #0\n"
    "  brk #0\n"
    ".size quill_sys_clone3, .-quill_sys_clone3\n");

#else

// Elsewhere the child joins its cgroup by itself, first thing.
extern "C" long quill_sys_clone3(void*, unsigned long, int (*)(void*), void*) noexcept {
  return -ENOSYS;
}

#endif

namespace quill::sys::detail {

long cloneIntoCgroup(int cgroup, int flags, char* stackTop, std::size_t stackSize, int* pidfd,
                     int (*fn)(void*), void* arg) noexcept {
  CloneArgs args = {};
  args.flags = static_cast<std::uint64_t>(flags & ~kExitSignalBits) | kIntoCgroup;
  args.exitSignal = static_cast<std::uint64_t>(flags & kExitSignalBits);
  args.pidfd = reinterpret_cast<std::uintptr_t>(pidfd);
  args.stack = reinterpret_cast<std::uintptr_t>(stackTop - stackSize);
  args.stackSize = stackSize;
  args.cgroup = static_cast<std::uint64_t>(cgroup);
  return quill_sys_clone3(&args, sizeof args, fn, arg);
}

}  // namespace quill::sys::detail
