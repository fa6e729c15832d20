// Fuzzes writeByteArrayHeader: the header written for the input bytes is
// parsed back (the length line, the "#define <prefix>_DATA " line, the
// hexadecimal items eight to a line, ", " after every item but the last, a
// backslash closing every line but the last, three tabs opening every further
// line) and must give back exactly the prefix, the length and the bytes.
//
// Input: one byte of options, up to 15 bytes of prefix (its length in the
// low four bits of the options; zero bytes in it become "_"), then the data.
// The high four bits of the options pick the case: 0x40 writes with a null
// prefix and 0x20 passes the count negated, both of which must write only
// what the interface promises. Headers larger than the writer's internal
// chunk (16384 lines) cost tens of milliseconds each to write and parse; the
// unit tests cover the chunk boundaries, the fuzzer the layout.

#include <quill/util/byte_array_header.h>

#include "fuzz/fuzz_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Consumes `expected` at `at`.
bool take(std::string_view text, size_t& at, std::string_view expected) {
  if (text.substr(std::min(at, text.size()), expected.size()) != expected) return false;
  at += expected.size();
  return true;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case is not the format
}

// The bytes of the data lines starting at `at`; checks the layout on the way.
std::vector<uint8_t> parseData(std::string_view text, size_t at, const std::string& prefix) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 6);
  FUZZ_CHECK(take(text, at, "#define " + prefix + "_DATA "));
  for (size_t line = 0;; ++line) {
    if (line > 0) FUZZ_CHECK(take(text, at, "\t\t\t"));
    size_t items = 0;
    while (true) {
      FUZZ_CHECK(take(text, at, "0x"));
      FUZZ_CHECK(at + 2 <= text.size());
      const int high = hexDigit(text[at]), low = hexDigit(text[at + 1]);
      FUZZ_CHECK(high >= 0 && low >= 0);
      bytes.push_back(static_cast<uint8_t>(high * 16 + low));
      at += 2;
      ++items;
      if (take(text, at, "\n")) {
        FUZZ_CHECK(at == text.size());  // the last line has no comma and no backslash
        return bytes;
      }
      FUZZ_CHECK(take(text, at, ", "));
      if (take(text, at, "\\\n")) break;
      FUZZ_CHECK(items < 8);
    }
    FUZZ_CHECK(items == 8);  // only the last line may hold fewer
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t options = data[0];
  const size_t prefixLength = std::min<size_t>(options & 0x0f, size - 1);
  std::string prefix(reinterpret_cast<const char*>(data + 1), prefixLength);
  for (char& c : prefix) {
    if (c == '\0') c = '_';
  }
  const std::vector<uint8_t> bytes(data + 1 + prefixLength, data + size);
  const auto n = static_cast<int32_t>(bytes.size());

  std::ostringstream out;
  if ((options & 0xf0) == 0x40) {
    quill::writeByteArrayHeader(out, nullptr, bytes.data(), n);
    FUZZ_CHECK(out.bad());
    FUZZ_CHECK(out.str() == "#define ");
    return 0;
  }
  if ((options & 0xf0) == 0x20) {
    quill::writeByteArrayHeader(out, prefix.c_str(), bytes.data(), -n);
    FUZZ_CHECK(out.good());
    FUZZ_CHECK(out.str() == "#define " + prefix + "_LEN " + std::to_string(-n) + "\n");
    return 0;
  }

  quill::writeByteArrayHeader(out, prefix.c_str(), bytes.data(), n);
  FUZZ_CHECK(out.good());
  const std::string text = out.str();
  size_t at = 0;
  FUZZ_CHECK(take(text, at, "#define " + prefix + "_LEN " + std::to_string(n) + "\n"));
  if (n == 0) {
    FUZZ_CHECK(at == text.size());
    return 0;
  }
  FUZZ_CHECK(parseData(text, at, prefix) == bytes);
  return 0;
}
