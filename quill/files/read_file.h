#pragma once
/// @file
/// The library's whole-file readers.
///
/// readFile() reads a file, readStream() the rest of a stream, each into one
/// string of bytes. readFile() throws the SystemError family
/// (quill/errors/errors.h); readStream() reports nothing.

#include <quill/export.h>

#include <istream>
#include <string>

namespace quill {

/// Everything that is left in @p in, as one string of bytes. An empty or
/// unreadable remainder yields the empty string; nothing is reported.
QUILL_API std::string readStream(std::istream& in);

/// The whole content of the file @p path, byte for byte.
/// @throws SystemError with the message @p path and ": open failed" when the
/// file cannot be opened (ExSystemError<2> when it is missing), or @p path and
/// ": read failed" when reading stops before the end of the file.
QUILL_API std::string readFile(const std::string& path);

}  // namespace quill
