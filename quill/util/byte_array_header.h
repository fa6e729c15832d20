#pragma once
/// @file
/// Writes a block of bytes as C preprocessor definitions, for compiling
/// data (fonts, images, certificates) into a program: NAME_LEN with the
/// number of bytes, and NAME_DATA with the bytes as a comma-separated list,
/// eight to a line, each as "0x" and two lower-case hexadecimal digits.
/// The caller keeps ownership of the stream and of the bytes.

#include <quill/export.h>
#include <cstdint>
#include <ostream>

namespace quill {

/// Writes "#define <prefix>_LEN <n>" (n through the stream's own integer
/// output) and flushes, then, when n is positive, "#define <prefix>_DATA "
/// followed by the n bytes at @p bytes, eight to a line, every further line
/// indented by three tabs and every line but the last continued with a
/// backslash. Raises nothing of its own: a null @p prefix, or a null
/// @p bytes with a positive @p n, sets the stream's bad bit where they would
/// have been written, and write errors are reported as the stream's
/// exception mask says.
QUILL_API void writeByteArrayHeader(std::ostream& out, const char* prefix, const uint8_t* bytes,
                                    int32_t n);

}  // namespace quill
