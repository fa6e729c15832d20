#include <quill/files/replace.h>

#include <quill/errors/errors.h>
#include <quill/files/detail/staging.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quill {
namespace {

std::string stagingMessage(const std::string& target) {
  return "Cannot create a file beside " + target;
}

// The staging file lives in the target's directory, so that the final rename
// stays within one file system and is atomic. It is created with 0666 and
// left to the umask (rather than mkstemp's 0600) so that a brand-new target
// gets the same bits that creating it directly would have given. Staging
// files of the same target that a killed writer left are cleared first.
OpenedFile stageFor(const std::string& target) {
  detail::removeAbandonedStagingFiles(target);
  return detail::createStagingFile(target, 0666, stagingMessage(target));
}

// Gives the staging file the owner and bits of the regular file it replaces.
// The owner goes first: changing it clears set-id bits that chmod restores.
int adoptAttributes(int descriptor, const std::string& target) {
  struct stat old;
  if (::lstat(target.c_str(), &old) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISREG(old.st_mode)) return 0;
  struct stat fresh;
  if (::fstat(descriptor, &fresh) != 0) return errno;
  if ((fresh.st_uid != old.st_uid || fresh.st_gid != old.st_gid) &&
      ::fchown(descriptor, old.st_uid, old.st_gid) != 0)
    return errno;
  if (::fchmod(descriptor, old.st_mode & 07777) != 0) return errno;
  return 0;
}

}  // namespace

FileReplacement::FileReplacement(const std::string& target)
    : TmpFileBase(stageFor(target)), std::ostream(&buffer), target_(target) {
  // The owner and bits of the file being replaced are taken before a single
  // byte is written: content staged for a file that only its owner may read
  // must never sit under looser bits, nor belong to someone else, in the
  // meantime.
  const int error = buffer.is_open() ? adoptAttributes(buffer.fd(), target_) : 0;
  if (error != 0) {
    ::unlink(path.c_str());
    throwSystemError(stagingMessage(target_), error);
  }
}

FileReplacement::~FileReplacement() {
  if (state_ == State::kStaged) ::unlink(path.c_str());
}

void FileReplacement::commit() {
  if (state_ == State::kCommitted) return;
  if (state_ == State::kFailed) throwSystemError("Cannot replace " + target_, EBADF);
  errno = 0;
  flush();
  int error = 0;
  if (!*this) error = errno != 0 ? errno : EIO;
  if (error == 0) error = sync();
  // The staging file stays open, and so locked as in use, until it has
  // taken the target's name: nobody clearing leftovers may remove it first.
  if (error == 0 && ::rename(path.c_str(), target_.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(path.c_str());
    buffer.close();
    state_ = State::kFailed;
    throwSystemError("Cannot replace " + target_, error);
  }
  state_ = State::kCommitted;
  // The content is on the device already; what a close could still report
  // changes nothing. Making the rename itself durable is best effort: some
  // file systems refuse to sync a directory.
  buffer.close();
  detail::syncDirectory(detail::directoryOf(target_));
}

}  // namespace quill
