#pragma once
// The child's confinement: its cgroup, no new privileges and its
// capabilities; private to quill/sys.
//
// Everything here but openCgroupDirectory is child side, as plan.h says:
// raw system calls only, no allocation, nothing raised, errno untouched;
// each answers 0 or the errno value of the call that failed. The C
// library's wrappers of prctl and capset would also act on the calling
// thread alone, which is all these mean to do, but they write errno.

#include <string>

namespace quill::sys::detail {

/// Caller side: the directory `dir` opened to start a child inside it
/// (O_PATH, close-on-exec, above 2); -1, with errno, when it cannot be, and
/// for "".
int openCgroupDirectory(const std::string& dir) noexcept;

/// Moves the calling process into the cgroup v2 directory `dir` (open as
/// `dirFd` when that is not -1) by writing into its cgroup.procs.
/// EMEDIUMTYPE when the directory is not on a cgroup v2 file system: nothing
/// is then written into a file that only looks like cgroup.procs.
int joinCgroup(const char* dir, int dirFd) noexcept;

/// Keeps the permitted capabilities across the coming change of the user
/// id, so that dropCapabilities may still empty the bounding set after it.
int keepCapabilitiesAcrossIdentity() noexcept;

/// Empties the bounding, ambient, inheritable, permitted and effective
/// capability sets, and ends what keepCapabilitiesAcrossIdentity kept.
/// EPERM when the bounding set cannot be emptied (no CAP_SETPCAP left).
int dropCapabilities() noexcept;

/// Sets no_new_privs: set-user-id bits and file capabilities no longer
/// raise the privileges of what this process executes.
int forbidNewPrivileges() noexcept;

}  // namespace quill::sys::detail
