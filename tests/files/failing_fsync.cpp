#include "tests/files/failing_fsync.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>

namespace {

int armedError = 0;
int lastFlags = -1;

}  // namespace

namespace quill::test {

void failNextFsync(int errorNumber) {
  armedError = errorNumber;
}

int lastSyncedDescriptorFlags() {
  return lastFlags;
}

}  // namespace quill::test

extern "C" int fsync(int descriptor) {
  lastFlags = fcntl(descriptor, F_GETFD);
  if (armedError != 0) {
    errno = armedError;
    armedError = 0;
    return -1;
  }
  using Fsync = int (*)(int);
  static const Fsync real = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
  return real(descriptor);
}
