#include <quill/files/replace.h>

#include <quill/errors/errors.h>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace quill {
namespace {

constexpr int kNameAttempts = 100;

std::string directoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string uniqueSuffix() {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char noise[6];
  if (getrandom(noise, sizeof noise, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof noise)) {
    // Without the kernel's entropy, the pid, a call count and the clock
    // still differ between concurrent writers and between attempts; O_EXCL
    // settles any clash that remains.
    static std::uint64_t calls = 0;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t mix = (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++calls ^
                        static_cast<std::uint64_t>(now.tv_nsec) ^
                        (static_cast<std::uint64_t>(now.tv_sec) << 20);
    for (unsigned char& byte : noise) {
      mix = mix * 6364136223846793005u + 1442695040888963407u;
      byte = static_cast<unsigned char>(mix >> 56);
    }
  }
  std::string suffix;
  for (unsigned char byte : noise) suffix += kLetters[byte % (sizeof kLetters - 1)];
  return suffix;
}

// The staging file lives in the target's directory, so that the final rename
// stays within one file system and is atomic. It is created with 0666 and
// left to the umask (rather than mkstemp's 0600) so that a brand-new target
// gets the same bits that creating it directly would have given.
OpenedFile createStagingFile(const std::string& target) {
  const std::string::size_type slash = target.rfind('/');
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  const std::string prefix = target.substr(0, target.size() - base.size()) + "." + base + ".";
  int error = EEXIST;
  for (int attempt = 0; attempt < kNameAttempts && error == EEXIST; ++attempt) {
    const std::string name = prefix + uniqueSuffix();
    const int descriptor =
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (descriptor >= 0) return OpenedFile{name, descriptor};
    error = errno;
  }
  throwSystemError("Cannot create a file beside " + target, error);
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

// Makes the rename itself durable. Best effort: the new content is already
// in place, and some file systems refuse to sync a directory.
void syncDirectory(const std::string& directory) {
  const int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0) return;
  ::fsync(descriptor);
  ::close(descriptor);
}

}  // namespace

FileReplacement::FileReplacement(const std::string& target)
    : TmpFileBase(createStagingFile(target)), std::ostream(&buffer), target_(target) {
  // The owner and bits of the file being replaced are taken before a single
  // byte is written: content staged for a file that only its owner may read
  // must never sit under looser bits, nor belong to someone else, in the
  // meantime.
  const int error = buffer.is_open() ? adoptAttributes(buffer.fd(), target_) : 0;
  if (error != 0) {
    ::unlink(path.c_str());
    throwSystemError("Cannot create a file beside " + target_, error);
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
  const int closeError = syncAndClose();
  if (error == 0) error = closeError;
  if (error == 0 && ::rename(path.c_str(), target_.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(path.c_str());
    state_ = State::kFailed;
    throwSystemError("Cannot replace " + target_, error);
  }
  state_ = State::kCommitted;
  syncDirectory(directoryOf(target_));
}

}  // namespace quill
