#pragma once
/// @file
/// Lookups in the runtime configuration file /etc/vex/vex.conf.
///
/// The file is read on the first lookup that needs it and kept, unchanged, for
/// the life of the process; while it cannot be read, every such lookup tries
/// again (and logs again, at level 12 (LOG_USER | LOG_WARNING)). A value set in
/// the file wins over the compiled-in default of <quill/conf/conf_vars.h>.
///
/// Every string returned is borrowed: a value from the file belongs to the
/// configuration store and a default to the catalogue, both valid until the
/// process ends. Callers copy what they keep and never free or modify it.
/// Nothing here throws; failures are a null result with errno set and, where
/// stated, a line on the log channel. No lock: use from one thread.

#include <quill/conf/conf_vars.h>
#include <quill/export.h>

#ifdef __cplusplus
extern "C" {
#endif

/// The value of the variable at @p index: the file's value if it sets one,
/// else the compiled-in default.
/// @param index a ConfVar, 0 to 30.
/// @return never null for an index in 0 to 30; null with errno EINVAL for an
/// index outside that range.
QUILL_API const char* conf_get(ConfVar index);

/// The value that the file sets for the variable at @p index. Once found, the
/// value is remembered and returned from memory on later calls.
/// @param index a ConfVar, 0 to 30.
/// @return the file's value; null if the file does not set it or cannot be
/// read; null with errno EINVAL for an index outside 0 to 30.
QUILL_API const char* conf_get_configured(ConfVar index);

/// The value that the file sets for @p name, matched exactly; any name may be
/// asked, also one outside the catalogue.
/// @param name the variable's name, a C string.
/// @return the file's value; null if the file does not set it or cannot be
/// read; null with errno EINVAL for a null @p name.
QUILL_API const char* conf_find(const char* name);

/// conf_get() for the catalogued variable named @p name (exact match; the
/// names at indexes 0 to 29 are searched, the upper bound's is not).
/// @param name the variable's name, a C string.
/// @return the variable's value; null, with a message at level 3 (LOG_ERR),
/// if @p name is not in the catalogue (even when the file defines it: use
/// conf_find() for such names); null with errno EINVAL for a null @p name.
QUILL_API const char* conf_get_by_name(const char* name);

#ifdef __cplusplus
}
#endif
