#pragma once
/// @file
/// The configuration store and its file parser, for the lookups of
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

#include <stdint.h>
#include <stdio.h>

namespace quill::detail {

/// A block of text owned by a store (defined with the store's code).
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

/// Parses configuration lines from @p stream into @p store until the end of the
/// stream. Invalid lines are logged at level 12 and skipped. The stream stays
/// open. The text is read in large blocks (a regular file whole, at once), and
/// kept in the store where definitions point into it.
/// @param stream the configuration text, read from its current position.
/// @param store the store that receives the definitions.
/// @return 0 at the end of the stream; -1 with errno set on a read error
/// (logged at level 12 "Unable to read configuration file: <text>") or when
/// out of memory (logged at level 12: "Unable to form configuration: <text>"
/// when a block of text cannot be had, "Unable to read configuration: <text>"
/// when the store cannot grow). Definitions read before a failure stay in the
/// store.
int conf_store_read_stream(FILE* stream, ConfStore* store);

/// Reserves the first slots, opens @p path and parses it with
/// conf_store_read_stream().
/// @param path the configuration file.
/// @param store the store that receives the definitions.
/// @return 0 on success; -1 with errno set when out of memory, when the file
/// cannot be opened (logged at level 12 "unable to open configuration file
/// <path>: <text>" and a line feed) or when reading fails.
int conf_store_read_file(const char* path, ConfStore* store);

}  // namespace quill::detail
