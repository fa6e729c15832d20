#pragma once
// This test program defines fsync itself, so that the library's calls reach
// it instead of the C library's: a sync that reports a chosen error is the
// one failure of a copy that no real file system produces on demand. Unarmed,
// it passes every call on, noting the flags of the descriptor it was given.

namespace quill::test {

// Makes the next fsync of this process fail with errorNumber; later calls go
// through again.
void failNextFsync(int errorNumber);

// The descriptor flags (F_GETFD) of the descriptor that the last fsync of
// this process was given, or -1 before the first.
int lastSyncedDescriptorFlags();

}  // namespace quill::test
