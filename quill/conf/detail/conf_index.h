#pragma once
// The hash index of a configuration store: which entry holds a name. Private
// to quill/conf.
//
// An index slot packs the tag of a name (the upper half of its hash, which
// also picks the slot) with the entry's position plus one; 0 marks a free
// slot. Growing the index thus never touches the names, and a probe compares
// names only when their tags agree. The index has at least twice as many slots
// as the store has entries, so a free slot always ends a probe. The lookups
// are inline: they run once per definition of a file. Nothing here throws.

#include <quill/conf/detail/conf_store.h>

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace quill::detail {

/// The most entries a store may hold: positions and tags fit 32 bits each.
constexpr uint64_t kConfMaxCapacity = uint64_t{1} << 31;

namespace conf_index_internal {

inline uint64_t mixBits(uint64_t x) {
  x ^= x >> 32;
  x *= 0xd6e8feb86659fd93ull;
  x ^= x >> 32;
  return x;
}

// The last 1 to 7 bytes of a name as one number, without reading past them.
// Loads that overlap are cheaper than copying the bytes one by one into a
// word, which the processor could not forward to the word's load.
inline uint64_t tailWord(const unsigned char* bytes, size_t length) {
  if (length >= 4) {
    uint32_t low, high;
    memcpy(&low, bytes, 4);
    memcpy(&high, bytes + length - 4, 4);
    return low | uint64_t{high} << (8 * (length - 4));
  }
  return bytes[0] | uint64_t{bytes[length / 2]} << (8 * (length / 2)) |
         uint64_t{bytes[length - 1]} << (8 * (length - 1));
}

}  // namespace conf_index_internal

/// The tag of the name of @p length bytes at @p name. Reads the name eight
/// bytes at a time: hashing is a large part of the work per definition.
inline uint32_t conf_name_tag(const char* name, size_t length) {
  using conf_index_internal::mixBits;
  uint64_t hash = length * 0x9e3779b97f4a7c15ull;
  for (; length >= 8; name += 8, length -= 8) {
    uint64_t word;
    memcpy(&word, name, 8);
    hash = mixBits(hash ^ word);
  }
  if (length > 0)
    hash = mixBits(
        hash ^ conf_index_internal::tailWord(reinterpret_cast<const unsigned char*>(name), length));
  return static_cast<uint32_t>(mixBits(hash) >> 32);
}

/// The tag kept in a used slot.
inline uint32_t conf_slot_tag(uint64_t slot) {
  return static_cast<uint32_t>(slot >> 32);
}

/// The position of the entry that a used slot points to.
inline uint64_t conf_slot_position(uint64_t slot) {
  return (slot & 0xFFFFFFFFu) - 1;
}

/// A used slot for the entry at @p position, whose name has @p tag.
inline uint64_t conf_slot_make(uint32_t tag, uint64_t position) {
  return uint64_t{tag} << 32 | (position + 1);
}

/// The slot of @p store's index that holds @p name (of @p tag), or the free
/// slot where it belongs.
inline uint64_t* conf_index_find(const char* name, uint32_t tag, const ConfStore& store) {
  const uint64_t mask = store.index_size - 1;
  for (uint64_t i = tag & mask;; i = (i + 1) & mask) {
    uint64_t* slot = &store.index[i];
    if (*slot == 0) return slot;
    if (conf_slot_tag(*slot) == tag &&
        strcmp(store.entries[conf_slot_position(*slot)].name, name) == 0)
      return slot;
  }
}

/// Asks the processor for the first slot that a name of @p tag probes, ahead
/// of conf_index_find().
inline void conf_index_prefetch(uint32_t tag, const ConfStore& store) {
  __builtin_prefetch(&store.index[tag & (store.index_size - 1)], 1);
}

/// Makes @p slot, found by conf_index_find() for @p name and @p tag, give
/// @p value: a used slot's entry takes the new value and keeps its place and
/// its name (the later definition wins); a free slot gets a new entry at the
/// end of the store, which must have room for it. Both strings must live as
/// long as the store.
inline void conf_index_enter(char* name, char* value, uint32_t tag, uint64_t* slot,
                             ConfStore* store) {
  if (*slot != 0) {
    store->entries[conf_slot_position(*slot)].value = value;
    return;
  }
  store->entries[store->count] = ConfEntry{name, value};
  *slot = conf_slot_make(tag, store->count++);
}

/// The smallest power of two at least twice @p capacity (at most 2^32).
uint64_t conf_index_size_for(uint64_t capacity);

/// calloc() of @p count items of @p size bytes with the byte count checked
/// for overflow, advised onto huge pages: the index is probed at random, and
/// in pages of 4 KiB almost every probe of a large one misses the TLB.
/// @return the zeroed memory; null when it cannot be had.
void* conf_allocate_zeroed(uint64_t count, size_t size);

/// Moves the used slots of @p store's index into @p index, of @p size slots
/// (zeroed, a power of two), which takes its place; the old one is freed.
void conf_index_move(ConfStore* store, uint64_t* index, uint64_t size);

/// Gives the index at once the size it will have when the store holds
/// @p expected entries, instead of rebuilding it each time the store doubles.
/// Only a saving: without memory for it, the store grows as it would anyway;
/// errno is kept.
void conf_index_grow_ahead(ConfStore* store, uint64_t expected);

}  // namespace quill::detail
