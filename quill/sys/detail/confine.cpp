#include <quill/sys/detail/confine.h>

#include <quill/sys/detail/fd.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/magic.h>
#include <sys/prctl.h>
#include <sys/vfs.h>
#include <cerrno>

namespace quill::sys::detail {

namespace {

long prctl(long option, long value = 0) noexcept {
  return rawSyscall(SYS_prctl, option, value, 0, 0, 0);
}

// The capability sets of this process, in the kernel's 64-bit layout.
struct CapabilitySets {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
};

long capget(CapabilitySets& sets) noexcept {
  return rawSyscall(SYS_capget, reinterpret_cast<long>(&sets.header),
                    reinterpret_cast<long>(sets.data));
}

long capset(CapabilitySets& sets) noexcept {
  return rawSyscall(SYS_capset, reinterpret_cast<long>(&sets.header),
                    reinterpret_cast<long>(sets.data));
}

// No capability the kernel knows is left in the bounding set; the kernel
// answers EINVAL for the first number past its last.
int emptyBoundingSet() noexcept {
  for (long cap = 0; cap < 64; ++cap) {
    long result = prctl(PR_CAPBSET_READ, cap);
    if (result == -EINVAL) break;
    if (result == 1) result = prctl(PR_CAPBSET_DROP, cap);
    if (result < 0) return errorOf(result);
  }
  return 0;
}

}  // namespace

int joinCgroup(const char* dir, int dirFd) noexcept {
  int owned = -1;
  if (dirFd == -1) {
    const long opened = rawSyscall(SYS_openat, AT_FDCWD, reinterpret_cast<long>(dir),
                                   O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (opened < 0) return errorOf(opened);
    owned = dirFd = static_cast<int>(opened);
  }
  // Any other file system could hold a file of that name that is no
  // cgroup's (a link, a named pipe that blocks the open).
  struct statfs fs = {};
  long result = rawSyscall(SYS_fstatfs, dirFd, reinterpret_cast<long>(&fs));
  int error = errorOf(result);
  if (error == 0 && fs.f_type != CGROUP2_SUPER_MAGIC) error = EMEDIUMTYPE;
  if (error == 0) {
    result = rawSyscall(SYS_openat, dirFd, reinterpret_cast<long>("cgroup.procs"),
                        O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    error = errorOf(result);
  }
  if (error == 0) {
    // "0" stands for the writer itself.
    error = writeAll(static_cast<int>(result), "0", 1);
    closeInChild(static_cast<int>(result));
  }
  if (owned != -1) closeInChild(owned);
  return error;
}

int keepCapabilitiesAcrossIdentity() noexcept {
  return errorOf(prctl(PR_SET_KEEPCAPS, 1));
}

int dropCapabilities() noexcept {
  CapabilitySets sets;
  long result = capget(sets);
  if (result < 0) return errorOf(result);
  // The bounding set gives way to CAP_SETPCAP only while it is effective;
  // after a change of the user id it is permitted at most (kept).
  for (__user_cap_data_struct& set : sets.data) set.effective = set.permitted;
  if ((result = capset(sets)) < 0) return errorOf(result);
  if (const int error = emptyBoundingSet(); error != 0) return error;
  // A kernel without ambient capabilities has none to clear.
  result = prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL);
  if (result < 0 && result != -EINVAL) return errorOf(result);
  for (__user_cap_data_struct& set : sets.data) set = {};
  if ((result = capset(sets)) < 0) return errorOf(result);
  return errorOf(prctl(PR_SET_KEEPCAPS, 0));
}

int forbidNewPrivileges() noexcept {
  return errorOf(prctl(PR_SET_NO_NEW_PRIVS, 1));
}

int openCgroupDirectory(const std::string& dir) noexcept {
  if (dir.empty()) return -1;
  return keepAbove(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC), 3);
}

}  // namespace quill::sys::detail
