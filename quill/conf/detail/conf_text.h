#pragma once
// The blocks of text that a configuration store owns and that its names and
// values point into. Private to quill/conf. Nothing here throws.

#include <quill/conf/detail/conf_store.h>

#include <stddef.h>

namespace quill::detail {

/// A block of text that names and values point into; its bytes follow the
/// header, with one byte to spare after them for a terminator.
struct ConfText {
  ConfText* next;  ///< The block allocated before this one.
  size_t size;     ///< Bytes of text, the spare byte not counted.

  /// The first byte of text.
  char* bytes() { return reinterpret_cast<char*>(this + 1); }
};

/// A new block of @p size bytes of text, put at the head of @p store's list.
/// @return the block; null, logged at level 12 "Unable to form configuration:
/// <text>" and errno ENOMEM, when there is no memory for it.
ConfText* conf_text_add(ConfStore* store, size_t size);

/// Releases one block, which must no longer be on a store's list.
void conf_text_free(ConfText* text);

/// Releases every block of @p store's list, leaving it empty.
void conf_text_free_all(ConfStore* store);

}  // namespace quill::detail
