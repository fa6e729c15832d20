// The tool's tests let this helper stand in for file systems that lack a
// call: it must refuse the call it is given only when the argument matches.

#include "tests/support/syscall_filter.h"
#include "tests/support/tool_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

namespace {

TEST(SyscallFilter, RefusesTheCallOnlyWithTheChosenArgument) {
  const quill::test::ScratchDir dir;
  const std::string from = dir / "from", to = dir / "to";
  quill::test::writeBytes(from, "x");
  // Only the death test's child gets the filter.
  EXPECT_EXIT(
      {
        if (quill::test::refuseSyscall({SYS_renameat2, EXDEV, 4, RENAME_NOREPLACE}) != 0) _exit(2);
        const int refused =
            renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE);
        if (refused == 0 || errno != EXDEV) _exit(3);
        _exit(renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 0) == 0 ? 0 : 4);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
