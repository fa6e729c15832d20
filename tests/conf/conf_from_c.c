/* Lookups by index as a C program makes them: C converts any int to an
 * enumeration type, so an index outside the catalogue reaches the library as
 * it stands. Compiling this file also proves that the headers are C. */

#include <quill/conf/conf.h>
#include <quill/log/log.h>
#include <quill/net/fqdn.h>

const char* conf_get_from_c(int index) {
  return conf_get((ConfVar)index);
}

const char* conf_get_configured_from_c(int index) {
  return conf_get_configured((ConfVar)index);
}
