// The configuration store: its entries, how it grows, and lookups by name.

#include <quill/conf/detail/conf_store.h>

#include <quill/conf/detail/conf_index.h>
#include <quill/conf/detail/conf_text.h>
#include <quill/log/log.h>

#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace quill::detail {
namespace {

constexpr uint64_t kInitialSlots = 20;

}  // namespace

void conf_log_out_of_memory(const char* format) {
  log_message(kConfWarning, format, strerror(ENOMEM));
  errno = ENOMEM;
}

ConfStore::~ConfStore() {
  conf_store_clear(this);
}

int conf_store_reserve(ConfStore* store) {
  if (store->entries == nullptr) {
    const uint64_t indexSize = conf_index_size_for(kInitialSlots);
    auto* entries = static_cast<ConfEntry*>(conf_allocate_zeroed(kInitialSlots, sizeof(ConfEntry)));
    auto* index = static_cast<uint64_t*>(conf_allocate_zeroed(indexSize, sizeof(uint64_t)));
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
  // already be large enough (conf_index_grow_ahead()).
  const uint64_t newCapacity = store->capacity * 2;
  const uint64_t indexSize = conf_index_size_for(newCapacity);
  const bool indexGrows = indexSize > store->index_size;
  size_t bytes = 0;
  uint64_t* index = nullptr;
  ConfEntry* entries = nullptr;
  if (newCapacity <= kConfMaxCapacity &&
      !__builtin_mul_overflow(static_cast<size_t>(newCapacity), sizeof(ConfEntry), &bytes) &&
      (!indexGrows || (index = static_cast<uint64_t*>(
                           conf_allocate_zeroed(indexSize, sizeof(uint64_t)))) != nullptr)) {
    entries = static_cast<ConfEntry*>(realloc(store->entries, bytes));
  }
  if (entries == nullptr) {
    free(index);
    conf_log_out_of_memory("Unable to read configuration: %s");
    return -1;
  }
  if (indexGrows) conf_index_move(store, index, indexSize);
  store->entries = entries;
  store->capacity = newCapacity;
  return 0;
}

int conf_store_set(const char* name, const char* value, ConfStore* store) {
  if (conf_store_reserve(store) != 0) return -1;
  const size_t nameLength = strlen(name);
  const uint32_t tag = conf_name_tag(name, nameLength);
  uint64_t* slot = conf_index_find(name, tag, *store);
  const bool known = *slot != 0;
  // One block holds the copies: the value's, and the name's for a new entry.
  const size_t valueSize = strlen(value) + 1;
  ConfText* text = conf_text_add(store, valueSize + (known ? 0 : nameLength + 1));
  if (text == nullptr) return -1;
  char* valueCopy = static_cast<char*>(memcpy(text->bytes(), value, valueSize));
  char* nameCopy =
      known ? nullptr : static_cast<char*>(memcpy(valueCopy + valueSize, name, nameLength + 1));
  conf_index_enter(nameCopy, valueCopy, tag, slot, store);
  return 0;
}

const char* conf_store_find(const char* name, const ConfStore* store) {
  if (store->count == 0) return nullptr;
  const uint64_t slot = *conf_index_find(name, conf_name_tag(name, strlen(name)), *store);
  return slot == 0 ? nullptr : store->entries[conf_slot_position(slot)].value;
}

void conf_store_clear(ConfStore* store) {
  conf_text_free_all(store);
  free(store->entries);
  free(store->index);
  store->entries = nullptr;
  store->index = nullptr;
  store->capacity = store->count = store->index_size = 0;
}

}  // namespace quill::detail
