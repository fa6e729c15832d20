#pragma once
/// @file
/// The identifier of the container environment the current process runs in,
/// as the kernel reports it on the "envID:" line of /proc/self/status.
/// Kernels without such containers have no such line; the answer is then
/// empty. Both functions return a fresh string owned by the caller.

#include <quill/export.h>
#include <string>

namespace quill {

/// The container environment identifier of the calling process: the digits
/// of the first "envID:" line of /proc/self/status exactly as written
/// (leading zeros kept), or an empty string when there is no such line.
/// Raises the SystemError family (message beginning with the path and
/// ": open failed") when the file cannot be read.
QUILL_API std::string getEnvId();

/// The identifier as getEnvId would find it in statusText, the contents of
/// a status file. A line counts only when it holds "envID:", optional
/// blanks and one or more digits up to its end; the first such line wins.
/// Returns an empty string when no line counts.
QUILL_API std::string parseEnvId(const std::string& statusText);

}  // namespace quill
