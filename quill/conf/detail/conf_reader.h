#pragma once
// The configuration file reader: the line parser that fills a configuration
// store (conf_store.h). Private to quill/conf, its tests and fuzz targets.
//
// The text is read in large blocks (a regular file whole, at once) that the
// store keeps, and each definition is terminated in place and points into
// them. Nothing here throws; failures are -1 with errno set and a message on
// the log channel at level 12. No lock.

#include <stdio.h>

namespace quill::detail {

struct ConfStore;

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
/// conf_store_read_stream(). The open never waits: a named pipe or a device
/// at @p path is refused at once.
/// @param path the configuration file.
/// @param store the store that receives the definitions.
/// @return 0 on success; -1 with errno set when out of memory, when the file
/// cannot be opened (logged at level 12 "unable to open configuration file
/// <path>: <text>" and a line feed), when it is neither a regular file nor a
/// directory (EINVAL, logged the same way with the text "not a regular
/// file") or when reading fails (a directory: EISDIR).
int conf_store_read_file(const char* path, ConfStore* store);

}  // namespace quill::detail
