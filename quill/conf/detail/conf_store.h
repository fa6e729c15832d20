#pragma once
/// @file
/// The configuration store, for the lookups of
/// <quill/conf/conf.h>, their tests and fuzz targets. Not part of the umbrella
/// header and not meant for the panel's programs.
///
/// A store owns private copies of every name and value it holds, kept in
/// blocks of text: a file's text is read into blocks and its definitions point
/// into them. A value returned by conf_store_find() stays valid until the
/// store is cleared or destroyed, also after a later definition replaced it.
/// Names are unique: a later definition replaces the value of an earlier one.
/// Lookups are by exact name through a hash index, so reading a file costs
/// time linear in its size. Nothing here throws; failures are -1
/// with errno set and, where stated, a message on the log channel. No lock.
///
/// The store's blocks of text are in conf_text.h, its hash index in
/// conf_index.h, and the file reader that fills it in conf_reader.h, which is
/// included here for the users that have always found the reader here.

#include <stdint.h>
#include <syslog.h>

namespace quill::detail {

/// A block of text owned by a store (conf_text.h).
struct ConfText;

/// One name/value pair; both strings are owned by the store.
struct ConfEntry {
  char* name;   ///< Private copy of the name.
  char* value;  ///< Private copy of the value.
};

/// A name/value store: entries in the order their names were first defined,
/// and an open-addressing hash index over them.
struct ConfStore {
  ConfEntry* entries = nullptr;  ///< Slots 0 to count-1 are in use; null before the first reserve.
  uint64_t capacity = 0;         ///< Allocated slots: 0, then 20, 40, 80, ...
  uint64_t count = 0;            ///< Slots in use.
  uint64_t* index = nullptr;     ///< Hash slots holding an entry's position plus one; 0 is free.
  uint64_t index_size = 0;       ///< Number of hash slots, a power of two at least twice capacity.
  ConfText* texts = nullptr;     ///< The blocks that names and values point into, newest first.

  ConfStore() = default;
  /// Releases every block of text and both arrays (conf_store_clear()).
  ~ConfStore();
  ConfStore(const ConfStore&) = delete;
  ConfStore& operator=(const ConfStore&) = delete;
};

/// Makes room for one more entry: 20 slots at first, then twice as many, up to
/// 2^31 slots.
/// @param store the store to grow.
/// @return 0; -1 with errno ENOMEM if the room cannot be had (logged at level
/// 12 "Unable to read configuration: <text>" when an existing array cannot
/// grow; the first allocation logs nothing). The store is unchanged on failure.
int conf_store_reserve(ConfStore* store);

/// Adds @p name with @p value, or replaces the value of an existing @p name;
/// both strings are copied, into one new block of text.
/// @param name the name, matched exactly.
/// @param value the value.
/// @param store the store to change.
/// @return 0; -1 with errno ENOMEM (logged at level 12) when out of memory:
/// "Unable to read configuration: <text>" when the store cannot grow, "Unable
/// to form configuration: <text>" when the copies have no room. The store is
/// unchanged on failure.
int conf_store_set(const char* name, const char* value, ConfStore* store);

/// The value stored for a name.
/// @param name the name, matched exactly.
/// @param store the store to search.
/// @return the value, borrowed from the store; null if there is none.
const char* conf_store_find(const char* name, const ConfStore* store);

/// Releases every block of text and both arrays, leaving an empty store.
/// @param store the store to empty.
void conf_store_clear(ConfStore* store);

/// The level of the store's and the reader's complaints: warnings of the user
/// facility, below the usual threshold of 3.
constexpr int kConfWarning = LOG_USER | LOG_WARNING;

/// Logs @p format (one %s, given strerror(ENOMEM)) at kConfWarning and sets
/// errno to ENOMEM.
void conf_log_out_of_memory(const char* format);

}  // namespace quill::detail

#include <quill/conf/detail/conf_reader.h>
