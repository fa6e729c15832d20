#include <quill/files/detail/staging.h>

#include <quill/errors/errors.h>
#include <quill/files/detail/descriptor.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace quill::detail {
namespace {

constexpr int kNameAttempts = 100;
constexpr char kStagingMark[] = ".quill-staging.";
constexpr std::size_t kSuffixLength = 6;
constexpr char kSuffixLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

std::string baseOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "." + base + kStagingMark: every staging name of the target starts so.
std::string stagingPrefix(const std::string& target) {
  return "." + baseOf(target) + kStagingMark;
}

std::string uniqueSuffix() {
  unsigned char noise[kSuffixLength];
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
  for (unsigned char byte : noise) suffix += kSuffixLetters[byte % (sizeof kSuffixLetters - 1)];
  return suffix;
}

bool isStagingName(const char* name, const std::string& prefix) {
  const std::string text(name);
  if (text.size() != prefix.size() + kSuffixLength || text.compare(0, prefix.size(), prefix) != 0)
    return false;
  return text.find_first_not_of(kSuffixLetters, prefix.size()) == std::string::npos;
}

int lockWaiting(int descriptor, int operation) {
  while (::flock(descriptor, operation) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Removes the staging file `name` of the directory open at `directory` if
// nobody holds it. The lock is taken on what was opened, and the name must
// still lead to that very file when it is removed.
void removeIfAbandoned(int directory, const char* name) {
  const OwnedDescriptor file(
      ::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat opened, named;
  if (file.get() < 0 || ::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return;
  if (::flock(file.get(), LOCK_EX | LOCK_NB) != 0) return;  // its writer is still at work
  if (::fstatat(directory, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      named.st_dev != opened.st_dev || named.st_ino != opened.st_ino)
    return;
  ::unlinkat(directory, name, 0);
}

}  // namespace

OpenedFile createStagingFile(const std::string& target, mode_t mode, const std::string& message) {
  const std::string prefix =
      target.substr(0, target.size() - baseOf(target).size()) + stagingPrefix(target);
  int error = EEXIST;
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string name = prefix + uniqueSuffix();
    OwnedDescriptor file(
        ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (file.get() < 0) {
      error = errno;
      if (error == EEXIST) continue;
      break;
    }
    // The lock marks the file as in use. Another writer clearing leftovers
    // may have seized the new file first and removed it: the lock is then
    // had on a file without a name, and another name is tried.
    struct stat info;
    error = lockWaiting(file.get(), LOCK_EX);
    if (error == 0 && ::fstat(file.get(), &info) != 0) error = errno;
    if (error != 0) {
      ::unlink(name.c_str());
      break;
    }
    if (info.st_nlink == 0) {
      error = EEXIST;
      continue;
    }
    return OpenedFile{name, file.release()};
  }
  throwSystemError(message, error);
}

void removeAbandonedStagingFiles(const std::string& target) noexcept {
  const int savedErrno = errno;
  const std::string prefix = stagingPrefix(target);
  if (DIR* listing = ::opendir(directoryOf(target).c_str())) {
    while (const dirent* entry = ::readdir(listing)) {
      if (isStagingName(entry->d_name, prefix)) removeIfAbandoned(::dirfd(listing), entry->d_name);
    }
    ::closedir(listing);
  }
  errno = savedErrno;
}

std::string directoryOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

int syncDirectory(const std::string& directory) noexcept {
  const OwnedDescriptor descriptor(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (descriptor.get() < 0) return errno;
  if (::fsync(descriptor.get()) != 0 && errno != EINVAL) return errno;
  return 0;
}

}  // namespace quill::detail
