#include <quill/util/byte_array_header.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace quill {

namespace {

constexpr size_t kBytesPerLine = 8;
// Every byte is written as "0xHH, "; the hexadecimal digits are at offset 2.
constexpr char kItem[] = "0x00, ";
constexpr size_t kItemSize = sizeof(kItem) - 1;
constexpr size_t kDigitsOffset = 2;
// A line with more bytes after it ends in a backslash, and the next one
// starts with its indentation; keeping the indentation at the end of the
// previous line makes every continued line the same 53 bytes.
constexpr char kContinuation[] = "\\\n\t\t\t";
constexpr size_t kContinuedLineSize = kBytesPerLine * kItemSize + sizeof(kContinuation) - 1;
// About 850 KiB of text per write: big enough that the stream passes it
// straight to the file, small enough to stay in the cache.
constexpr size_t kLinesPerChunk = 16384;

struct HexDigits {
  char pairs[256][2];

  constexpr HexDigits() : pairs() {
    constexpr char kDigits[] = "0123456789abcdef";
    for (int value = 0; value < 256; ++value) {
      pairs[value][0] = kDigits[value >> 4];
      pairs[value][1] = kDigits[value & 0xf];
    }
  }
};

constexpr HexDigits kHexDigits;

// Lays out `lines` continued lines with every byte at 0x00; writing a chunk
// then only has to put two digits per byte into place.
void fillContinuedLines(char* chunk, size_t lines) {
  for (size_t line = 0; line < lines; ++line) {
    for (size_t item = 0; item < kBytesPerLine; ++item) {
      std::memcpy(chunk, kItem, kItemSize);
      chunk += kItemSize;
    }
    std::memcpy(chunk, kContinuation, sizeof(kContinuation) - 1);
    chunk += sizeof(kContinuation) - 1;
  }
}

// Writes the lines that more bytes follow, in large chunks, and returns the
// first byte not written.
const uint8_t* writeContinuedLines(std::ostream& out, const uint8_t* bytes, size_t lineCount) {
  const size_t chunkLines = std::min(lineCount, kLinesPerChunk);
  std::unique_ptr<char[]> chunk(new char[chunkLines * kContinuedLineSize]);
  fillContinuedLines(chunk.get(), chunkLines);
  for (size_t written = 0; written < lineCount;) {
    const size_t lines = std::min(chunkLines, lineCount - written);
    char* line = chunk.get();
    for (size_t i = 0; i < lines; ++i) {
      for (size_t item = 0; item < kBytesPerLine; ++item) {
        std::memcpy(line + item * kItemSize + kDigitsOffset, kHexDigits.pairs[*bytes++], 2);
      }
      line += kContinuedLineSize;
    }
    out.write(chunk.get(), static_cast<std::streamsize>(lines * kContinuedLineSize));
    written += lines;
  }
  return bytes;
}

// Writes the line holding the last 1 to 8 bytes: no comma after the very
// last byte and no backslash.
void writeLastLine(std::ostream& out, const uint8_t* bytes, size_t count) {
  char line[kBytesPerLine * kItemSize];
  char* end = line;
  for (size_t i = 0; i < count; ++i) {
    std::memcpy(end, kItem, kItemSize);
    std::memcpy(end + kDigitsOffset, kHexDigits.pairs[bytes[i]], 2);
    end += kItemSize;
  }
  // Turn the last ", " into the line feed.
  end -= 2;
  *end++ = '\n';
  out.write(line, end - line);
}

}  // namespace

void writeByteArrayHeader(std::ostream& out, const char* prefix, const uint8_t* bytes, int32_t n) {
  out << "#define ";
  if (prefix == nullptr) {
    out.setstate(std::ios_base::badbit);
    return;
  }
  out << prefix << "_LEN " << n << std::endl;
  if (n <= 0) return;
  if (bytes == nullptr) {
    out.setstate(std::ios_base::badbit);
    return;
  }

  out << "#define " << prefix << "_DATA ";
  const size_t count = static_cast<size_t>(n);
  const size_t continuedLines = (count - 1) / kBytesPerLine;
  if (continuedLines > 0) bytes = writeContinuedLines(out, bytes, continuedLines);
  writeLastLine(out, bytes, count - continuedLines * kBytesPerLine);
}

}  // namespace quill
