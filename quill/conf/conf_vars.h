#pragma once
/// @file
/// The catalogue of the runtime configuration variables: their indexes, names
/// and compiled-in defaults.
///
/// The tables are constant data for the life of the process; a default handed
/// out by a lookup points into conf_var_defaults and must not be freed or
/// modified. Programs reach the values through the lookups of
/// <quill/conf/conf.h>. All three come from the one list of
/// <quill/conf/conf_var_list.h>.

#include <quill/conf/conf_var_list.h>

#include <quill/export.h>
#ifdef __cplusplus
extern "C" {
#endif

/// Index of a configuration variable, one per entry of QUILL_CONF_VAR_LIST
/// (<quill/conf/conf_var_list.h>), numbered in its order from 0: index 19 is
/// NAMED_RUN_ROOT_D, the chroot directory of the name server. The order is
/// part of the interface: programs pass the constant index. 0 and 30 are
/// bounds, not variables, but they are valid indexes of both tables.
typedef enum ConfVar {
/// One enumerator per entry of the list; defined for this enumeration only.
#define QUILL_CONF_VAR_ENUMERATOR(name, value) name,
  QUILL_CONF_VAR_LIST(QUILL_CONF_VAR_ENUMERATOR)
#undef QUILL_CONF_VAR_ENUMERATOR
} ConfVar;

/// The name of each variable, indexed by ConfVar (31 entries, none null).
extern QUILL_API const char* const conf_var_names[_MAX_POSSIBLE_VEX_CONF_VAR_NAME + 1];

/// The compiled-in default of each variable, indexed by ConfVar (31 entries,
/// none null). Directory defaults carry no trailing slash.
extern QUILL_API const char* const conf_var_defaults[_MAX_POSSIBLE_VEX_CONF_VAR_NAME + 1];

#ifdef __cplusplus
}
#endif
