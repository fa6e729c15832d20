#pragma once
// This test program defines fsync itself, so that the library's calls reach
// it instead of the C library's: a sync that reports a chosen error is the
// one failure of a copy that no real file system produces on demand. Unarmed,
// it passes every call on, noting what it was asked to sync.

#include <string>
#include <vector>

namespace quill::test {

// Makes the next fsync of this process fail with errorNumber; later calls go
// through again.
void failNextFsync(int errorNumber);

// One descriptor that fsync was given: the path it was open on and its
// descriptor flags (F_GETFD).
struct SyncedDescriptor {
  std::string path;
  int flags;
};

// The descriptors given to fsync since the last forgetSyncedDescriptors(),
// in call order.
const std::vector<SyncedDescriptor>& syncedDescriptors();
void forgetSyncedDescriptors();

}  // namespace quill::test
