// The catalogue of configuration variables: names and compiled-in defaults,
// both generated from the one list that also numbers the indexes.

#include <quill/conf/conf_vars.h>

const char* const conf_var_names[_MAX_POSSIBLE_VEX_CONF_VAR_NAME + 1] = {
#define QUILL_CONF_VAR_NAME(name, value) #name,
    QUILL_CONF_VAR_LIST(QUILL_CONF_VAR_NAME)
#undef QUILL_CONF_VAR_NAME
};

const char* const conf_var_defaults[_MAX_POSSIBLE_VEX_CONF_VAR_NAME + 1] = {
#define QUILL_CONF_VAR_DEFAULT(name, value) value,
    QUILL_CONF_VAR_LIST(QUILL_CONF_VAR_DEFAULT)
#undef QUILL_CONF_VAR_DEFAULT
};
