// Fuzzes the configuration file reader: the input is written to a file, read
// into a fresh store, and the store is compared with a reference reading of
// the same text made from the file format alone. Invariants checked for every
// input:
//  - every stored name is one or more name characters (letters, digits, "_");
//  - every stored value is non-empty, has no leading or trailing whitespace and
//    no "#";
//  - names are unique;
//  - a lookup finds every stored name, and finds the value stored with it;
//  - the store holds exactly the definitions of the reference reading, where
//    the later of two definitions of one name wins;
//  - a name that the reading did not define is not found.
// The same text is also read as a stream of unknown length, which the reader
// takes in blocks of 64 KiB: once behind a definition and a comment line that
// put the first block boundary inside the text, and once behind a definition
// longer than a block. The stores are destroyed at the end of every run, so
// LeakSanitizer sees any copy the reader failed to release.

#include <quill/conf/detail/conf_reader.h>
#include <quill/conf/detail/conf_store.h>

#include "fuzz/fuzz_check.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>

namespace {

// Whitespace of the "C" locale.
bool isBlank(char c) {
  return c != '\0' && strchr(" \t\n\v\f\r", c) != nullptr;
}

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// The definitions a text holds: lines split at "\n", each cut at its first
// zero byte (the reader handles a line as a C string), then "name value" with
// optional "# comment"; invalid lines are skipped; the later definition wins.
std::map<std::string, std::string> referenceReading(const std::string& text) {
  std::map<std::string, std::string> definitions;
  size_t lineStart = 0;
  while (lineStart < text.size()) {
    size_t lineEnd = text.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = text.size();
    std::string line = text.substr(lineStart, lineEnd - lineStart);
    lineStart = lineEnd + 1;
    line = line.substr(0, line.find('\0'));

    size_t at = 0;
    while (at < line.size() && isBlank(line[at])) ++at;
    const size_t nameStart = at;
    while (at < line.size() && isNameChar(line[at])) ++at;
    const size_t nameEnd = at;
    if (nameEnd == nameStart || nameEnd == line.size() || !isBlank(line[nameEnd])) continue;
    while (at < line.size() && isBlank(line[at])) ++at;
    if (at == line.size() || line[at] == '#') continue;
    const size_t valueStart = at;
    size_t valueEnd = line.find('#', valueStart);
    if (valueEnd == std::string::npos) valueEnd = line.size();
    while (isBlank(line[valueEnd - 1])) --valueEnd;
    definitions[line.substr(nameStart, nameEnd - nameStart)] =
        line.substr(valueStart, valueEnd - valueStart);
  }
  return definitions;
}

// One scratch directory for the whole run, removed at exit.
std::string scratchFile() {
  static std::string path;
  if (path.empty()) {
    char directory[] = "/tmp/quill-conf-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(directory) != nullptr);
    path = std::string(directory) + "/vex.conf";
    static std::string dirPath = directory;
    atexit([] {
      unlink(path.c_str());
      rmdir(dirPath.c_str());
    });
  }
  return path;
}

void writeWhole(const std::string& path, const uint8_t* data, size_t size) {
  FILE* file = fopen(path.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  FUZZ_CHECK(size == 0 || fwrite(data, 1, size, file) == size);
  FUZZ_CHECK(fclose(file) == 0);
}

// Checks `store` against the reference reading `expected`.
void checkStore(const quill::detail::ConfStore& store,
                const std::map<std::string, std::string>& expected) {
  FUZZ_CHECK(store.count == expected.size());
  std::set<std::string> names;
  for (uint64_t i = 0; i < store.count; ++i) {
    const char* name = store.entries[i].name;
    const char* value = store.entries[i].value;
    FUZZ_CHECK(name != nullptr && value != nullptr);

    FUZZ_CHECK(name[0] != '\0');
    for (const char* c = name; *c != '\0'; ++c) FUZZ_CHECK(isNameChar(*c));
    const size_t valueLength = strlen(value);
    FUZZ_CHECK(valueLength > 0);
    FUZZ_CHECK(!isBlank(value[0]) && !isBlank(value[valueLength - 1]));
    FUZZ_CHECK(strchr(value, '#') == nullptr);
    FUZZ_CHECK(names.insert(name).second);

    FUZZ_CHECK(quill::detail::conf_store_find(name, &store) == value);
    const auto wanted = expected.find(name);
    FUZZ_CHECK(wanted != expected.end());
    FUZZ_CHECK(wanted->second == value);
  }

  // Names close to the stored ones, and the values themselves, are found only
  // when the text defined them.
  for (const auto& definition : expected) {
    for (const std::string& probe :
         {definition.first + "_", definition.first.substr(1), definition.second}) {
      const char* found = quill::detail::conf_store_find(probe.c_str(), &store);
      const auto wanted = expected.find(probe);
      if (wanted == expected.end()) {
        FUZZ_CHECK(found == nullptr);
      } else {
        FUZZ_CHECK(found != nullptr && wanted->second == found);
      }
    }
  }
}

// Reads `text` as a stream without a file behind it and checks the store.
void checkStreamReading(const std::string& text) {
  FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  FUZZ_CHECK(stream != nullptr);
  quill::detail::ConfStore store;
  FUZZ_CHECK(quill::detail::conf_store_reserve(&store) == 0);
  FUZZ_CHECK(quill::detail::conf_store_read_stream(stream, &store) == 0);
  fclose(stream);
  checkStore(store, referenceReading(text));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string path = scratchFile();
  writeWhole(path, data, size);
  {
    quill::detail::ConfStore store;
    FUZZ_CHECK(quill::detail::conf_store_read_file(path.c_str(), &store) == 0);
    checkStore(store, referenceReading(text));
  }

  // Where the block boundary falls inside the text depends on the text.
  constexpr size_t kStreamBlock = 64 * 1024;
  const size_t shift = size == 0 ? 0 : (size * 7919 + data[size / 2]) % (size + 1);
  const std::string head = "P0 first\n#";
  checkStreamReading(head + std::string(kStreamBlock - head.size() - 1 - shift, 'x') + "\n" + text);
  checkStreamReading("LONG " + std::string(kStreamBlock + shift, 'v') + "\n" + text);
  return 0;
}
