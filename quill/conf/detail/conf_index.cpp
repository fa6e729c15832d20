// Sizing and rebuilding the hash index of a configuration store.

#include <quill/conf/detail/conf_index.h>

#include <quill/util/detail/huge_pages.h>

#include <errno.h>
#include <stdlib.h>

namespace quill::detail {

uint64_t conf_index_size_for(uint64_t capacity) {
  uint64_t size = 1;
  while (size < 2 * capacity) size *= 2;
  return size;
}

void* conf_allocate_zeroed(uint64_t count, size_t size) {
  size_t bytes;
  if (count > SIZE_MAX || __builtin_mul_overflow(static_cast<size_t>(count), size, &bytes))
    return nullptr;
  void* memory = calloc(count, size);
  if (memory != nullptr) util::detail::preferHugePages(memory, bytes);
  return memory;
}

void conf_index_move(ConfStore* store, uint64_t* index, uint64_t size) {
  const uint64_t mask = size - 1;
  for (uint64_t i = 0; i < store->index_size; ++i) {
    const uint64_t slot = store->index[i];
    if (slot == 0) continue;
    uint64_t at = conf_slot_tag(slot) & mask;
    while (index[at] != 0) at = (at + 1) & mask;
    index[at] = slot;
  }
  free(store->index);
  store->index = index;
  store->index_size = size;
}

void conf_index_grow_ahead(ConfStore* store, uint64_t expected) {
  uint64_t capacity = store->capacity;
  while (capacity < expected && capacity * 2 <= kConfMaxCapacity) capacity *= 2;
  const uint64_t size = conf_index_size_for(capacity);
  if (store->index == nullptr || size <= store->index_size) return;
  const int savedErrno = errno;
  auto* index = static_cast<uint64_t*>(conf_allocate_zeroed(size, sizeof(uint64_t)));
  errno = savedErrno;
  if (index != nullptr) conf_index_move(store, index, size);
}

}  // namespace quill::detail
