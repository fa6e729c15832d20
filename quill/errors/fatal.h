#include <quill/export.h>
#pragma once
/// @file
/// The termination handler of the panel's tools: an exception that nobody
/// caught ends the process with "Unexpected error: <what()>" on standard
/// error and exit status 1.

namespace quill {

/// Registers fatalErrorHandler with std::set_terminate.
QUILL_API void installFatalErrorHandler();

/// Writes "Unexpected error: " and the pending exception's what() (or
/// "Unexpected error" alone for an exception not derived from std::exception,
/// or when none is pending) to standard error and calls exit(1).
[[noreturn]] QUILL_API void fatalErrorHandler();

}  // namespace quill
