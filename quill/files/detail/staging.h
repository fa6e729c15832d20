#pragma once
// Staging files: new content is written under a hidden name beside the file
// it is meant for, and only moved to that file's name once it is complete.
// Shared by the backup and the file replacement; private to Quill.
//
// A staging file is named "." + the target's base name + ".quill-staging."
// + six letters or digits, in the target's directory, and is locked (flock)
// by its creator for as long as the creator holds it open. A staging file
// that nobody holds was left by a process that died before it finished: it
// is never anyone's content and is removed by the next writer of the same
// target. No name of any other shape is ever removed.

#include <quill/files/tmpfile.h>

#include <sys/types.h>

#include <string>

namespace quill::detail {

/// Creates a staging file for @p target with the permission bits @p mode
/// (less the umask), opened write-only and close-on-exec, and locks it.
/// @throws SystemError with @p message and the errno of the failed create
/// (ExSystemError<2> when the directory is missing); nothing is left then.
OpenedFile createStagingFile(const std::string& target, mode_t mode, const std::string& message);

/// Removes the staging files of @p target that no process holds: those of a
/// writer that was killed. Only regular files of the staging name's shape
/// are removed, never followed. Best effort and silent: a leftover that
/// cannot be removed stays for a later run. errno is kept.
void removeAbandonedStagingFiles(const std::string& target) noexcept;

/// The directory part of @p path: "." when it has none, "/" for the root.
std::string directoryOf(const std::string& path);

/// Forces the entries of @p directory to the device.
/// @return 0, also where the file system cannot sync a directory (EINVAL);
/// otherwise the errno of the failed open or sync.
int syncDirectory(const std::string& directory) noexcept;

}  // namespace quill::detail
