#pragma once
/// @file
/// The catalogue of the runtime configuration variables: their indexes, names
/// and compiled-in defaults.
///
/// The tables are constant data for the life of the process; a default handed
/// out by a lookup points into conf_var_defaults and must not be freed or
/// modified. Programs reach the values through the lookups of
/// <quill/conf/conf.h>.

#include <quill/export.h>
#ifdef __cplusplus
extern "C" {
#endif

/// Index of a configuration variable. The order is part of the interface:
/// programs pass the constant index. 0 and 30 are bounds, not variables, but
/// they are valid indexes of both tables.
typedef enum ConfVar {
  _MIN_POSSIBLE_VEX_CONF_VAR_NAME = 0,  ///< Lower bound.
  QUILL_MAILNAMES_D = 1,                ///< Mail names directory.
  RBLSMTPD = 2,                         ///< The rblsmtpd program.
  CLIENT_PHP_BIN = 3,                   ///< The PHP command-line interpreter.
  LIB_CRYPTO_PATH = 4,                  ///< The crypto library.
  LIB_SSL_PATH = 5,                     ///< The SSL library.
  AWSTATS_DOC_D = 6,                    ///< AWStats documents directory.
  AWSTATS_TOOLS_D = 7,                  ///< AWStats tools directory.
  AWSTATS_BIN_D = 8,                    ///< AWStats CGI directory.
  AWSTATS_ETC_D = 9,                    ///< AWStats configuration directory.
  MAILMAN_VAR_D = 10,                   ///< Mailman data directory.
  MAILMAN_ROOT_D = 11,                  ///< Mailman installation directory.
  PGSQL_DATA_D = 12,                    ///< PostgreSQL data directory.
  PGSQL_BIN_D = 13,                     ///< PostgreSQL programs directory.
  MYSQL_BIN_D = 14,                     ///< MySQL programs directory.
  MYSQL_VAR_D = 15,                     ///< MySQL data directory.
  WEB_STAT = 16,                        ///< The web statistics program.
  DUMP_D = 17,                          ///< Dumps directory.
  DUMP_TMP_D = 18,                      ///< Temporary directory of dumps.
  NAMED_RUN_ROOT_D = 19,                ///< Chroot directory of the name server.
  HTTPD_BIN = 20,                       ///< The web server program.
  HTTPD_SERVICE = 21,                   ///< The web server's service name.
  HTTPD_LOG_D = 22,                     ///< Web server logs directory.
  HTTPD_INCLUDE_D = 23,                 ///< Web server included configuration directory.
  HTTPD_CONF_D = 24,                    ///< Web server configuration directory.
  HTTPD_VHOSTS_D = 25,                  ///< Virtual hosts directory.
  MYSQL_SOCKET = 26,                    ///< MySQL server socket.
  SA_MAX_MAIL_SIZE = 27,                ///< Largest mail that SpamAssassin checks, in bytes.
  SNI_SUPPORT = 28,                     ///< Whether the web server supports SNI.
  PRODUCT_ROOT_D = 29,                  ///< The panel's installation directory.
  _MAX_POSSIBLE_VEX_CONF_VAR_NAME = 30  ///< Upper bound.
} ConfVar;

/// The name of each variable, indexed by ConfVar (31 entries, none null).
extern QUILL_API const char* const conf_var_names[_MAX_POSSIBLE_VEX_CONF_VAR_NAME + 1];

/// The compiled-in default of each variable, indexed by ConfVar (31 entries,
/// none null). Directory defaults carry no trailing slash.
extern QUILL_API const char* const conf_var_defaults[_MAX_POSSIBLE_VEX_CONF_VAR_NAME + 1];

#ifdef __cplusplus
}
#endif
