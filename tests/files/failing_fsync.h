#pragma once
// This test program defines fsync itself, so that the library's calls reach
// it instead of the C library's: a sync that reports a chosen error is the
// one failure of a copy that no real file system produces on demand. Unarmed,
// it passes every call on.

namespace quill::test {

// Makes the next fsync of this process fail with errorNumber; later calls go
// through again.
void failNextFsync(int errorNumber);

}  // namespace quill::test
