// The configuration store and its file parser.
//
// The text read from a file is kept in blocks owned by the store, and the
// definitions point into it: a name and a value are terminated in place, so
// loading a file costs a few allocations whatever its number of lines.

#include <quill/conf/detail/conf_store.h>

#include <quill/log/log.h>
#include <quill/util/detail/huge_pages.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <new>

namespace quill::detail {

// A block of text that names and values point into; its bytes follow the
// header, with one byte to spare after them for a terminator.
struct ConfText {
  ConfText* next;  // the block allocated before this one
  size_t size;     // bytes of text, the spare byte not counted

  char* bytes() { return reinterpret_cast<char*>(this + 1); }
};

namespace {

constexpr uint64_t kInitialSlots = 20;
// Streams of unknown length are read in blocks of this size; a line that does
// not fit makes its block grow.
constexpr size_t kStreamBlockSize = size_t{64} * 1024;
// Configuration problems are warnings of the user facility; with the usual
// threshold of 3 they are not shown.
constexpr int kConfWarning = LOG_USER | LOG_WARNING;

// Character classes of the "C" locale, whatever locale the program set, as
// tables: the parser asks them once per byte.
struct CharClasses {
  bool space[256] = {};
  bool name[256] = {};
  constexpr CharClasses() {
    const char spaces[] = " \t\n\v\f\r";
    for (const char c : spaces) space[static_cast<unsigned char>(c)] = c != '\0';
    for (int c = 'a'; c <= 'z'; ++c) name[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c) name[c] = true;
    for (int c = '0'; c <= '9'; ++c) name[c] = true;
    name[static_cast<unsigned char>('_')] = true;
  }
};
constexpr CharClasses kClasses;

bool isSpace(char c) {
  return kClasses.space[static_cast<unsigned char>(c)];
}
bool isNameChar(char c) {
  return kClasses.name[static_cast<unsigned char>(c)];
}

// An index slot packs the tag of a name (the upper half of its hash, which
// also picks the slot) with the entry's position plus one; 0 marks a free
// slot. Growing the index thus never touches the names, and a probe compares
// names only when their tags agree. The index has at least twice as many slots
// as the store has entries, so a free slot always ends a probe.
constexpr uint64_t kMaxCapacity = uint64_t{1} << 31;  // positions and tags fit 32 bits each

uint64_t mixBits(uint64_t x) {
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ull;
  x ^= x >> 32;
  return x;
}

// The last 1 to 7 bytes of a name as one number, without reading past them.
// Loads that overlap are cheaper than copying the bytes one by one into a
// word, which the processor could not forward to the word's load.
uint64_t tailWord(const unsigned char* bytes, size_t length) {
  if (length >= 4) {
    uint32_t low, high;
    memcpy(&low, bytes, 4);
    memcpy(&high, bytes + length - 4, 4);
    return low | uint64_t{high} << (8 * (length - 4));
  }
  return bytes[0] | uint64_t{bytes[length / 2]} << (8 * (length / 2)) |
         uint64_t{bytes[length - 1]} << (8 * (length - 1));
}

// Reads the name eight bytes at a time: hashing is a large part of the work
// per definition.
uint32_t nameTag(const char* name, size_t length) {
  uint64_t hash = length * 0x9e3779b97f4a7c15ull;
  for (; length >= 8; name += 8, length -= 8) {
    uint64_t word;
    memcpy(&word, name, 8);
    hash = mixBits(hash ^ word);
  }
  if (length > 0)
    hash = mixBits(hash ^ tailWord(reinterpret_cast<const unsigned char*>(name), length));
  return static_cast<uint32_t>(mixBits(hash) >> 32);
}
uint32_t slotTag(uint64_t slot) {
  return static_cast<uint32_t>(slot >> 32);
}
uint64_t slotPosition(uint64_t slot) {
  return (slot & 0xFFFFFFFFu) - 1;
}
uint64_t makeSlot(uint32_t tag, uint64_t position) {
  return uint64_t{tag} << 32 | (position + 1);
}

// The slot that holds `name`, or the free slot where it belongs.
uint64_t* findSlot(const char* name, uint32_t tag, const ConfStore& store) {
  const uint64_t mask = store.index_size - 1;
  for (uint64_t i = tag & mask;; i = (i + 1) & mask) {
    uint64_t* slot = &store.index[i];
    if (*slot == 0) return slot;
    if (slotTag(*slot) == tag && strcmp(store.entries[slotPosition(*slot)].name, name) == 0)
      return slot;
  }
}

// The smallest power of two at least twice `capacity` (at most 2^32).
uint64_t indexSizeFor(uint64_t capacity) {
  uint64_t size = 1;
  while (size < 2 * capacity) size *= 2;
  return size;
}

// calloc() with the byte count checked for overflow. The index is probed at
// random: in pages of 4 KiB almost every probe of a large one misses the TLB.
void* allocateZeroed(uint64_t count, size_t size) {
  size_t bytes;
  if (count > SIZE_MAX || __builtin_mul_overflow(static_cast<size_t>(count), size, &bytes))
    return nullptr;
  void* memory = calloc(count, size);
  if (memory != nullptr) util::detail::preferHugePages(memory, bytes);
  return memory;
}

void logOutOfMemory(const char* format) {
  log_message(kConfWarning, format, strerror(ENOMEM));
  errno = ENOMEM;
}

// A new block of `size` bytes of text, put at the head of the store's list;
// null (logged, errno ENOMEM) when there is no memory for it.
ConfText* addText(ConfStore* store, size_t size) {
  char* memory = nullptr;
  if (size <= SIZE_MAX - sizeof(ConfText) - 1)
    memory = new (std::nothrow) char[sizeof(ConfText) + size + 1];
  if (memory == nullptr) {
    logOutOfMemory("Unable to form configuration: %s");
    return nullptr;
  }
  util::detail::preferHugePages(memory, sizeof(ConfText) + size);
  auto* text = new (memory) ConfText{store->texts, size};
  store->texts = text;
  return text;
}

void freeText(ConfText* text) {
  delete[] reinterpret_cast<char*>(text);
}

// Makes the free `slot` of `tag` hold a new entry.
void addEntry(char* name, char* value, uint32_t tag, uint64_t* slot, ConfStore* store) {
  store->entries[store->count] = ConfEntry{name, value};
  *slot = makeSlot(tag, store->count++);
}

// A definition parsed from the text: its name and value are terminated in
// place and live as long as the store.
struct Definition {
  char* name;
  char* value;
  uint32_t tag;
};

// Definitions on their way into the store. Entering one costs a cache miss on
// its index slot, which is fetched ahead while the following lines are
// parsed. Holding definitions back changes nothing that can be seen: entering
// one allocates nothing and cannot fail, and the room for an entry is made at
// the very definition where it would be made if each were entered at once
// (while fewer definitions wait than free entries are left, no new name among
// them can fill the store).
class DefinitionQueue {
 public:
  explicit DefinitionQueue(ConfStore* store) : store_(store) {}
  DefinitionQueue(const DefinitionQueue&) = delete;
  DefinitionQueue& operator=(const DefinitionQueue&) = delete;
  ~DefinitionQueue() { flush(); }

  // Queues the definition of `name` (of `nameLength` bytes); -1 (logged,
  // errno ENOMEM) when the store has no room for it and cannot grow.
  int add(char* name, size_t nameLength, char* value) {
    if (store_->count + waiting_ >= store_->capacity) {
      flush();
      if (conf_store_reserve(store_) != 0) return -1;
    }
    if (waiting_ == kDepth) enter(queue_[first_]);
    const uint32_t tag = nameTag(name, nameLength);
    __builtin_prefetch(&store_->index[tag & (store_->index_size - 1)], 1);
    queue_[(first_ + waiting_) % kDepth] = Definition{name, value, tag};
    if (waiting_ == kDepth) {
      first_ = (first_ + 1) % kDepth;
    } else {
      ++waiting_;
    }
    return 0;
  }

  // Enters every waiting definition, oldest first.
  void flush() {
    for (; waiting_ > 0; --waiting_, first_ = (first_ + 1) % kDepth) enter(queue_[first_]);
  }

 private:
  static constexpr size_t kDepth = 16;

  void enter(const Definition& definition) {
    uint64_t* slot = findSlot(definition.name, definition.tag, *store_);
    if (*slot != 0) {
      // The later definition wins; the entry keeps its place and its name.
      store_->entries[slotPosition(*slot)].value = definition.value;
    } else {
      addEntry(definition.name, definition.value, definition.tag, slot, store_);
    }
  }

  ConfStore* store_;
  Definition queue_[kDepth];
  size_t first_ = 0;
  size_t waiting_ = 0;
};

// Moves the slots of the store's index into `index`, of `size` slots, which
// takes its place.
void moveIndex(ConfStore* store, uint64_t* index, uint64_t size) {
  const uint64_t mask = size - 1;
  for (uint64_t i = 0; i < store->index_size; ++i) {
    const uint64_t slot = store->index[i];
    if (slot == 0) continue;
    uint64_t at = slotTag(slot) & mask;
    while (index[at] != 0) at = (at + 1) & mask;
    index[at] = slot;
  }
  free(store->index);
  store->index = index;
  store->index_size = size;
}

// Gives the index at once the size it will have when the store holds
// `expected` entries, instead of rebuilding it each time the store doubles.
// Only a saving: without memory for it, the store grows as it would anyway.
void growIndexAhead(ConfStore* store, uint64_t expected) {
  uint64_t capacity = store->capacity;
  while (capacity < expected && capacity * 2 <= kMaxCapacity) capacity *= 2;
  const uint64_t size = indexSizeFor(capacity);
  if (store->index == nullptr || size <= store->index_size) return;
  const int savedErrno = errno;
  auto* index = static_cast<uint64_t*>(allocateZeroed(size, sizeof(uint64_t)));
  errno = savedErrno;
  if (index != nullptr) moveIndex(store, index, size);
}

// About how many lines a large text holds, judged from its first lines.
uint64_t estimatedLines(const char* text, size_t length) {
  constexpr size_t kSample = size_t{64} * 1024;
  if (length <= kSample) return 0;  // not worth judging: the store grows quickly enough
  uint64_t lines = 0;
  for (const char* at = text;
       (at = static_cast<const char*>(memchr(at, '\n', text + kSample - at))); ++at)
    ++lines;
  return lines * (length / kSample) + lines * (length % kSample) / kSample;
}

enum class LineOutcome { kSkipped, kStored, kFailed };

// Parses one line, a C string that ends at its first zero byte, its newline
// included. The name and the value of a definition are terminated in place
// and queued.
LineOutcome parseLine(char* line, DefinitionQueue* queue) {
  char* text = line;
  while (isSpace(*text)) ++text;
  if (*text == '\0' || *text == '#') return LineOutcome::kSkipped;  // blank line or comment

  char* nameEnd = text;
  while (isNameChar(*nameEnd)) ++nameEnd;
  if (nameEnd == text || !isSpace(*nameEnd)) {
    log_message(kConfWarning,
                "Invalid variable definition %s\nExpected a space after variable name\n", text);
    return LineOutcome::kSkipped;
  }
  char* value = nameEnd;
  while (isSpace(*value)) ++value;
  if (*value == '\0' || *value == '#') {
    log_message(kConfWarning, "Invalid variable definition %s\nExpected a value", text);
    return LineOutcome::kSkipped;
  }
  // The value runs to the end of the line or a comment, less the whitespace
  // (newline and carriage return included) in front of that end.
  char* valueEnd = strchrnul(value, '#');
  while (isSpace(valueEnd[-1])) --valueEnd;
  *valueEnd = '\0';
  *nameEnd = '\0';
  return queue->add(text, nameEnd - text, value) == 0 ? LineOutcome::kStored : LineOutcome::kFailed;
}

// Parses the complete lines of [begin, end), and the unterminated rest too
// when `atEnd`, into the store; the byte at `end` may be written. Sets
// `*stored` once a definition points into the text. Returns where the
// unparsed rest begins, or null when a definition could not be stored.
char* parseLines(char* begin, char* end, bool atEnd, ConfStore* store, bool* stored) {
  DefinitionQueue queue(store);
  char* line = begin;
  while (line < end) {
    auto* newline = static_cast<char*>(memchr(line, '\n', end - line));
    if (newline == nullptr && !atEnd) break;
    char* next = newline != nullptr ? newline + 1 : end;
    // The line is ended after its newline for its parsing, and the first byte
    // of the next line put back afterwards; a value never reaches that byte
    // unless the text ends there.
    const char firstOfNext = *next;
    *next = '\0';
    const LineOutcome outcome = parseLine(line, &queue);
    if (next != end) *next = firstOfNext;
    if (outcome == LineOutcome::kFailed) return nullptr;
    if (outcome == LineOutcome::kStored) *stored = true;
    line = next;
  }
  return line;
}

// A whole regular file fits its first block, with one byte more so that the
// first read already meets the end of the file.
size_t firstBlockSize(FILE* stream) {
  struct stat status;
  const int fd = fileno(stream);
  if (fd >= 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
      static_cast<uint64_t>(status.st_size) < SIZE_MAX / 2)
    return static_cast<size_t>(status.st_size) + 1;
  return kStreamBlockSize;
}

}  // namespace

ConfStore::~ConfStore() {
  conf_store_clear(this);
}

int conf_store_reserve(ConfStore* store) {
  if (store->entries == nullptr) {
    const uint64_t indexSize = indexSizeFor(kInitialSlots);
    auto* entries = static_cast<ConfEntry*>(allocateZeroed(kInitialSlots, sizeof(ConfEntry)));
    auto* index = static_cast<uint64_t*>(allocateZeroed(indexSize, sizeof(uint64_t)));
    if (entries == nullptr || index == nullptr) {
      free(entries);
      free(index);
      store->capacity = 0;
      errno = ENOMEM;
      return -1;
    }
    store->entries = entries;
    store->index = index;
    store->capacity = kInitialSlots;
    store->index_size = indexSize;
    store->count = 0;
    return 0;
  }
  if (store->count < store->capacity) return 0;

  // The capacity is bounded so that a position fits its slot, and every byte
  // count is checked; a refusal leaves the store as it was. The index may
  // already be large enough (growIndexAhead()).
  const uint64_t newCapacity = store->capacity * 2;
  const uint64_t indexSize = indexSizeFor(newCapacity);
  const bool indexGrows = indexSize > store->index_size;
  size_t bytes = 0;
  uint64_t* index = nullptr;
  ConfEntry* entries = nullptr;
  if (newCapacity <= kMaxCapacity &&
      !__builtin_mul_overflow(static_cast<size_t>(newCapacity), sizeof(ConfEntry), &bytes) &&
      (!indexGrows ||
       (index = static_cast<uint64_t*>(allocateZeroed(indexSize, sizeof(uint64_t)))) != nullptr)) {
    entries = static_cast<ConfEntry*>(realloc(store->entries, bytes));
  }
  if (entries == nullptr) {
    free(index);
    logOutOfMemory("Unable to read configuration: %s");
    return -1;
  }
  if (indexGrows) moveIndex(store, index, indexSize);
  store->entries = entries;
  store->capacity = newCapacity;
  return 0;
}

int conf_store_set(const char* name, const char* value, ConfStore* store) {
  if (conf_store_reserve(store) != 0) return -1;
  const size_t nameLength = strlen(name);
  const uint32_t tag = nameTag(name, nameLength);
  uint64_t* slot = findSlot(name, tag, *store);
  const bool known = *slot != 0;
  // One block holds the copies: the value's, and the name's for a new entry.
  const size_t valueSize = strlen(value) + 1;
  ConfText* text = addText(store, valueSize + (known ? 0 : nameLength + 1));
  if (text == nullptr) return -1;
  char* valueCopy = static_cast<char*>(memcpy(text->bytes(), value, valueSize));
  if (known) {
    // The later definition wins; the entry keeps its place and its name.
    store->entries[slotPosition(*slot)].value = valueCopy;
  } else {
    addEntry(static_cast<char*>(memcpy(valueCopy + valueSize, name, nameLength + 1)), valueCopy,
             tag, slot, store);
  }
  return 0;
}

const char* conf_store_find(const char* name, const ConfStore* store) {
  if (store->count == 0) return nullptr;
  const uint64_t slot = *findSlot(name, nameTag(name, strlen(name)), *store);
  return slot == 0 ? nullptr : store->entries[slotPosition(slot)].value;
}

void conf_store_clear(ConfStore* store) {
  while (store->texts != nullptr) {
    ConfText* text = store->texts;
    store->texts = text->next;
    freeText(text);
  }
  free(store->entries);
  free(store->index);
  store->entries = nullptr;
  store->index = nullptr;
  store->capacity = store->count = store->index_size = 0;
}

int conf_store_read_stream(FILE* stream, ConfStore* store) {
  ConfText* block = addText(store, firstBlockSize(stream));
  if (block == nullptr) return -1;
  size_t filled = 0;         // bytes of the block read so far
  size_t parsed = 0;         // bytes of the block parsed so far
  bool blockStored = false;  // whether a definition points into the block
  bool firstRead = true;
  while (true) {
    if (filled == block->size) {
      // The unparsed rest, a line not yet read whole, goes to the front of
      // the block if nothing points into it, otherwise to a new block (of
      // the size of a stream's: a regular file that fit its first block has
      // grown since); a block that the line fills alone is replaced by one
      // twice as large.
      const size_t rest = filled - parsed;
      if (!blockStored && parsed > 0) {
        memmove(block->bytes(), block->bytes() + parsed, rest);
      } else {
        ConfText* next = addText(store, rest * 2 > kStreamBlockSize ? rest * 2 : kStreamBlockSize);
        if (next == nullptr) return -1;
        memcpy(next->bytes(), block->bytes() + parsed, rest);
        if (!blockStored) {
          next->next = block->next;
          freeText(block);
        }
        block = next;
        blockStored = false;
      }
      filled = rest;
      parsed = 0;
    }

    const size_t wanted = block->size - filled;
    errno = 0;
    const size_t got = fread(block->bytes() + filled, 1, wanted, stream);
    int readErrno = errno;
    if (firstRead) {
      // Most often the whole file: the index can be made for all of it.
      growIndexAhead(store, store->count + estimatedLines(block->bytes(), got));
      firstRead = false;
    }
    filled += got;
    const bool atEnd = got < wanted;
    char* rest =
        parseLines(block->bytes() + parsed, block->bytes() + filled, atEnd, store, &blockStored);
    if (rest == nullptr) return -1;
    parsed = rest - block->bytes();
    if (!atEnd) continue;

    if (feof(stream) && !ferror(stream)) return 0;
    if (readErrno == 0) readErrno = EIO;  // a stream error that left errno alone
    log_message(kConfWarning, "Unable to read configuration file: %s", strerror(readErrno));
    errno = readErrno;
    return -1;
  }
}

int conf_store_read_file(const char* path, ConfStore* store) {
  if (conf_store_reserve(store) != 0) return -1;
  // "e": close-on-exec, so that programs started meanwhile never inherit it.
  FILE* file = fopen(path, "rte");
  if (file == nullptr) {
    const int openErrno = errno;
    log_message(kConfWarning, "unable to open configuration file %s: %s\n", path,
                strerror(openErrno));
    errno = openErrno;
    return -1;
  }
  const int result = conf_store_read_stream(file, store);
  const int readErrno = errno;
  fclose(file);
  errno = readErrno;
  return result;
}

}  // namespace quill::detail
