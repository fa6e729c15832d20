#pragma once
// The cgroups commands run in; private to quill/sys. Caller side.

#include <string>

namespace quill::sys::detail {

/// The directory `dir` opened to start a child inside it (O_PATH,
/// close-on-exec, above 2); -1, with errno, when it cannot be, and for "".
int openCgroupDirectory(const std::string& dir) noexcept;

}  // namespace quill::sys::detail
