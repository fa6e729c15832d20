// The configuration store, its file parser, and the lookups over the one store
// of the process.

#include <quill/conf/conf.h>

#include <quill/conf/detail/conf_store.h>
#include <quill/log/log.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <type_traits>

namespace quill::detail {
namespace {

constexpr uint64_t kInitialSlots = 20;
// Configuration problems are warnings of the user facility; with the usual
// threshold of 3 they are not shown.
constexpr int kConfWarning = LOG_USER | LOG_WARNING;

// Character classes of the "C" locale, whatever locale the program set.
bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// An index slot packs the tag of a name (the upper half of its hash, which
// also picks the slot) with the entry's position plus one; 0 marks a free
// slot. Growing the index thus never touches the names, and a probe compares
// names only when their tags agree. The index has at least twice as many slots
// as the store has entries, so a free slot always ends a probe.
constexpr uint64_t kMaxCapacity = uint64_t{1} << 31;  // positions and tags fit 32 bits each

uint32_t nameTag(const char* name) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (; *name != '\0'; ++name) {
    hash ^= static_cast<unsigned char>(*name);
    hash *= 1099511628211ull;
  }
  return static_cast<uint32_t>(hash >> 32);
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

// calloc() with the byte count checked for overflow.
void* allocateZeroed(uint64_t count, size_t size) {
  size_t bytes;
  if (count > SIZE_MAX || __builtin_mul_overflow(static_cast<size_t>(count), size, &bytes))
    return nullptr;
  return calloc(count, size);
}

void logOutOfMemory(const char* format) {
  log_message(kConfWarning, format, strerror(ENOMEM));
  errno = ENOMEM;
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
  // count is checked; a refusal leaves the store as it was.
  const uint64_t newCapacity = store->capacity * 2;
  size_t bytes = 0;
  uint64_t* index = nullptr;
  ConfEntry* entries = nullptr;
  if (newCapacity <= kMaxCapacity &&
      !__builtin_mul_overflow(static_cast<size_t>(newCapacity), sizeof(ConfEntry), &bytes) &&
      (index = static_cast<uint64_t*>(
           allocateZeroed(indexSizeFor(newCapacity), sizeof(uint64_t)))) != nullptr) {
    entries = static_cast<ConfEntry*>(realloc(store->entries, bytes));
  }
  if (entries == nullptr) {
    free(index);
    logOutOfMemory("Unable to read configuration: %s");
    return -1;
  }
  const uint64_t newMask = indexSizeFor(newCapacity) - 1;
  for (uint64_t i = 0; i < store->index_size; ++i) {
    const uint64_t slot = store->index[i];
    if (slot == 0) continue;
    uint64_t at = slotTag(slot) & newMask;
    while (index[at] != 0) at = (at + 1) & newMask;
    index[at] = slot;
  }
  free(store->index);
  store->entries = entries;
  store->capacity = newCapacity;
  store->index = index;
  store->index_size = newMask + 1;
  return 0;
}

int conf_store_set(const char* name, const char* value, ConfStore* store) {
  if (conf_store_reserve(store) != 0) return -1;
  const uint32_t tag = nameTag(name);
  uint64_t* slot = findSlot(name, tag, *store);
  const bool known = *slot != 0;
  char* nameCopy = known ? nullptr : strdup(name);
  char* valueCopy = strdup(value);
  if ((!known && nameCopy == nullptr) || valueCopy == nullptr) {
    free(nameCopy);
    free(valueCopy);
    logOutOfMemory("Unable to form configuration: %s");
    return -1;
  }
  if (known) {
    // The later definition wins; the entry keeps its place and its name.
    ConfEntry& entry = store->entries[slotPosition(*slot)];
    free(entry.value);
    entry.value = valueCopy;
    return 0;
  }
  store->entries[store->count] = ConfEntry{nameCopy, valueCopy};
  *slot = makeSlot(tag, store->count++);
  return 0;
}

const char* conf_store_find(const char* name, const ConfStore* store) {
  if (store->count == 0) return nullptr;
  const uint64_t slot = *findSlot(name, nameTag(name), *store);
  return slot == 0 ? nullptr : store->entries[slotPosition(slot)].value;
}

void conf_store_clear(ConfStore* store) {
  for (uint64_t i = 0; i < store->count; ++i) {
    free(store->entries[i].name);
    free(store->entries[i].value);
  }
  free(store->entries);
  free(store->index);
  store->entries = nullptr;
  store->index = nullptr;
  store->capacity = store->count = store->index_size = 0;
}

int conf_store_read_stream(FILE* stream, ConfStore* store) {
  // One buffer for every line, grown as needed: lines have no length limit.
  char* line = nullptr;
  size_t lineCapacity = 0;
  int readErrno = 0;
  while (true) {
    errno = 0;
    if (getdelim(&line, &lineCapacity, '\n', stream) == -1) {
      readErrno = errno;
      break;
    }
    // The line is taken as a C string: a zero byte ends it.
    char* text = line;
    while (isSpace(*text)) ++text;
    if (*text == '\0' || *text == '#') continue;  // blank line or comment

    char* nameEnd = text;
    while (isNameChar(*nameEnd)) ++nameEnd;
    if (nameEnd == text || !isSpace(*nameEnd)) {
      log_message(kConfWarning,
                  "Invalid variable definition %s\nExpected a space after variable name\n", text);
      continue;
    }
    char* value = nameEnd;
    while (isSpace(*value)) ++value;
    if (*value == '\0' || *value == '#') {
      log_message(kConfWarning, "Invalid variable definition %s\nExpected a value", text);
      continue;
    }
    // The value runs to the end of the line or a comment, less the whitespace
    // (newline and carriage return included) in front of that end.
    char* valueEnd = value + strcspn(value, "#");
    while (isSpace(valueEnd[-1])) --valueEnd;
    *valueEnd = '\0';
    *nameEnd = '\0';

    if (conf_store_set(text, value, store) != 0) {
      const int setErrno = errno;
      free(line);
      errno = setErrno;
      return -1;
    }
  }
  free(line);
  if (feof(stream) && !ferror(stream)) return 0;
  if (readErrno == 0) readErrno = EIO;  // a stream error that left errno alone
  log_message(kConfWarning, "Unable to read configuration file: %s", strerror(readErrno));
  errno = readErrno;
  return -1;
}

int conf_store_read_file(const char* path, ConfStore* store) {
  if (conf_store_reserve(store) != 0) return -1;
  FILE* file = fopen(path, "rt");
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

namespace {

using quill::detail::ConfStore;

constexpr char kConfPath[] = "/etc/vex/vex.conf";
constexpr int kLastVar = _MAX_POSSIBLE_VEX_CONF_VAR_NAME;

// The store of the process: null until a load succeeds, then final until exit
// (never released, so every value handed out stays valid).
ConfStore* loadedStore = nullptr;
// The file's value of each catalogued variable once it has been found; a
// pointer into the store, never to a default.
const char* confValueCache[kLastVar + 1] = {};

// 0 once the store is loaded; -1 (errno set, reason logged) while the file
// cannot be read, in which case nothing of the attempt is kept and the next
// lookup tries again.
int conf_load() {
  if (loadedStore != nullptr) return 0;
  auto* store = new (std::nothrow) ConfStore;
  if (store == nullptr) {
    log_message(LOG_ERR, "Not enough memory to allocate Quill runtime configuration structure");
    errno = ENOMEM;
    return -1;
  }
  if (quill::detail::conf_store_read_file(kConfPath, store) != 0) {
    const int loadErrno = errno;
    delete store;
    errno = loadErrno;
    return -1;
  }
  loadedStore = store;
  return 0;
}

// The catalogue position of `index`, or -1 (errno EINVAL) outside 0 to 30. A
// C caller may pass any int; the parameter is read as the integer it holds,
// since reading it as a ConfVar would let the compiler assume a valid value.
int catalogueIndex(const ConfVar& index) {
  std::underlying_type_t<ConfVar> raw;
  memcpy(&raw, &index, sizeof raw);
  const auto wide = static_cast<long long>(raw);
  if (wide >= 0 && wide <= kLastVar) return static_cast<int>(wide);
  errno = EINVAL;
  return -1;
}

}  // namespace

const char* conf_find(const char* name) {
  if (name == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  if (conf_load() != 0) return nullptr;
  return quill::detail::conf_store_find(name, loadedStore);
}

const char* conf_get_configured(ConfVar index) {
  const int i = catalogueIndex(index);
  if (i < 0) return nullptr;
  // Only a value that was found is remembered: a miss asks the store again.
  if (confValueCache[i] == nullptr) confValueCache[i] = conf_find(conf_var_names[i]);
  return confValueCache[i];
}

const char* conf_get(ConfVar index) {
  const int i = catalogueIndex(index);
  if (i < 0) return nullptr;
  const char* configured = conf_get_configured(index);
  return configured != nullptr ? configured : conf_var_defaults[i];
}

const char* conf_get_by_name(const char* name) {
  if (name == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  // The upper bound's name is not searched; the lower bound's is.
  for (int i = 0; i < kLastVar; ++i) {
    if (strcmp(name, conf_var_names[i]) == 0) return conf_get(static_cast<ConfVar>(i));
  }
  log_message(LOG_ERR, "variable '%s' was found neither in %s, nor in compile-time defaults", name,
              kConfPath);
  return nullptr;
}
