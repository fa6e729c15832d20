#include "tests/files/failing_fsync.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

int armedError = 0;

std::vector<quill::test::SyncedDescriptor>& synced() {
  static std::vector<quill::test::SyncedDescriptor> calls;
  return calls;
}

}  // namespace

namespace quill::test {

void failNextFsync(int errorNumber) {
  armedError = errorNumber;
}

const std::vector<SyncedDescriptor>& syncedDescriptors() {
  return synced();
}

void forgetSyncedDescriptors() {
  synced().clear();
}

}  // namespace quill::test

extern "C" int fsync(int descriptor) {
  char path[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
  const ssize_t length = readlink(link.c_str(), path, sizeof path);
  synced().push_back({length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "",
                      fcntl(descriptor, F_GETFD)});
  if (armedError != 0) {
    errno = armedError;
    armedError = 0;
    return -1;
  }
  using Fsync = int (*)(int);
  static const Fsync real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
  return real(descriptor);
}
