#include <quill/files/replace.h>

#include <quill/errors/errors.h>
#include <quill/files/detail/staging.h>

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace quill {
namespace {

constexpr char kAccessAcl[] = "system.posix_acl_access";

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

// The bytes of the extended attribute `name` of the file at `path` (not
// following a link) into `value`; 0, or the errno of the failure.
int readAttribute(const std::string& path, const char* name, std::vector<char>* value) {
  for (;;) {
    const ssize_t size = ::lgetxattr(path.c_str(), name, nullptr, 0);
    if (size < 0) return errno;
    value->resize(static_cast<std::size_t>(size));
    const ssize_t got = ::lgetxattr(path.c_str(), name, value->data(), value->size());
    if (got >= 0) {
      value->resize(static_cast<std::size_t>(got));
      return 0;
    }
    if (errno != ERANGE) return errno;  // ERANGE: it grew in between
  }
}

// The names of the extended attributes of the file at `path`, each ended by a
// zero byte; 0, or the errno of the failure (ENOTSUP where the file system
// has none).
int listAttributes(const std::string& path, std::vector<char>* names) {
  for (;;) {
    const ssize_t size = ::llistxattr(path.c_str(), nullptr, 0);
    if (size < 0) return errno;
    names->resize(static_cast<std::size_t>(size));
    const ssize_t got = ::llistxattr(path.c_str(), names->data(), names->size());
    if (got >= 0) {
      names->resize(static_cast<std::size_t>(got));
      return 0;
    }
    if (errno != ERANGE) return errno;
  }
}

// Gives the staging file the extended attributes of the file it replaces:
// its access ACL, its security label, its user attributes, whatever it
// carries. A file system without extended attributes has none to carry;
// failing to carry one that the old file has is an error. An access ACL that
// the new file inherited from the directory, where the old one had none, is
// taken away again.
int adoptExtendedAttributes(int descriptor, const std::string& target) {
  std::vector<char> names;
  int error = listAttributes(target, &names);
  if (error == ENOTSUP) return 0;
  if (error != 0) return error;
  bool oldHasAcl = false;
  std::vector<char> value;
  for (const char* name = names.data(); name < names.data() + names.size();
       name += std::strlen(name) + 1) {
    error = readAttribute(target, name, &value);
    if (error == ENODATA) continue;  // removed in between
    if (error != 0) return error;
    if (::fsetxattr(descriptor, name, value.data(), value.size(), 0) != 0) return errno;
    oldHasAcl = oldHasAcl || std::strcmp(name, kAccessAcl) == 0;
  }
  if (!oldHasAcl && ::fremovexattr(descriptor, kAccessAcl) != 0 && errno != ENODATA &&
      errno != ENOTSUP)
    return errno;
  return 0;
}

// Gives the staging file the owner, bits and extended attributes of the
// regular file it replaces. The owner goes first: changing it clears set-id
// bits that chmod restores; the attributes go last, so that an ACL's mask is
// what the old file had.
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
  return adoptExtendedAttributes(descriptor, target);
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
