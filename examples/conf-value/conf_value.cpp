// Prints the value of a runtime configuration variable of the panel, as
// /etc/vex/vex.conf sets it or, failing that, as compiled into the library.
//
//   conf-value NAMED_RUN_ROOT_D      prints /var/named/run-root by default
//
// Exit status: 0 with the value on standard output; 1 for a name that is not
// a configuration variable (the library logs why); 2 for a usage error.

#include <syslog.h>

#include <cstdio>

#include <quill/conf/conf.h>
#include <quill/log/log.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s VARIABLE\n", argv[0]);
    return 2;
  }
  // Diagnostics of the configuration reader go to standard error only, so
  // standard output carries nothing but the value.
  log_init("stderr", LOG_ERR, LOG_USER, 0, argv[0]);

  // The value is borrowed from the library and stays valid until exit.
  const char* value = conf_get_by_name(argv[1]);
  if (value == nullptr) return 1;
  std::printf("%s\n", value);
  return 0;
}
