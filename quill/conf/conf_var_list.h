#pragma once
/// @file
/// The one list of the runtime configuration variables, in index order: each
/// variable's name and its compiled-in default. The ConfVar enumeration and
/// the two tables of <quill/conf/conf_vars.h> are all generated from it, so
/// an index, its name and its default cannot drift apart.
///
/// Pure preprocessor data for C and C++; include <quill/conf/conf_vars.h> to
/// use the catalogue.

/// Expands @p X(name, default) once per variable, in index order from 0: the
/// variable's name as an identifier (ConfVar enumerator and, stringified, its
/// name in the file) and its default as a string literal. Index 0 and the last
/// index are bounds, not variables; the order is part of the interface, since
/// programs pass the index. Directory defaults (names ending in _D) carry no
/// trailing slash.
#define QUILL_CONF_VAR_LIST(X)                                                             \
  X(_MIN_POSSIBLE_VEX_CONF_VAR_NAME, "_MIN_POSSIBLE_VEX_CONF_VAR_VALUE") /* 0: bound */    \
  X(QUILL_MAILNAMES_D, "/var/qmail/mailnames")    /* mail names directory */               \
  X(RBLSMTPD, "/usr/sbin/rblsmtpd")               /* the rblsmtpd program */               \
  X(CLIENT_PHP_BIN, "/opt/vex/bin/php-cli")       /* the PHP command-line interpreter */   \
  X(LIB_CRYPTO_PATH, "/lib/libcrypto.so")         /* the crypto library */                 \
  X(LIB_SSL_PATH, "/lib/libssl.so")               /* the SSL library */                    \
  X(AWSTATS_DOC_D, "/usr/share/awstats")          /* AWStats documents directory */        \
  X(AWSTATS_TOOLS_D, "/usr/share/awstats/tools")  /* AWStats tools directory */            \
  X(AWSTATS_BIN_D, "/usr/lib/cgi-bin")            /* AWStats CGI directory */              \
  X(AWSTATS_ETC_D, "/etc/awstats")                /* AWStats configuration directory */    \
  X(MAILMAN_VAR_D, "/var/lib/mailman")            /* Mailman data directory */             \
  X(MAILMAN_ROOT_D, "/usr/lib/mailman")           /* Mailman installation directory */     \
  X(PGSQL_DATA_D, "/var/lib/postgresql/9.6/main") /* PostgreSQL data directory */          \
  X(PGSQL_BIN_D, "/usr/lib/postgresql/9.6/bin")   /* PostgreSQL programs directory */      \
  X(MYSQL_BIN_D, "/usr/bin")                      /* MySQL programs directory */           \
  X(MYSQL_VAR_D, "/var/lib/mysql")                /* MySQL data directory */               \
  X(WEB_STAT, "/usr/bin/webalizer")               /* the web statistics program */         \
  X(DUMP_D, "/var/lib/vex/dumps")                 /* dumps directory */                    \
  X(DUMP_TMP_D, "/tmp")                           /* temporary directory of dumps */       \
  X(NAMED_RUN_ROOT_D, "/var/named/run-root")      /* 19: chroot of the name server */      \
  X(HTTPD_BIN, "/usr/sbin/apache2")               /* the web server program */             \
  X(HTTPD_SERVICE, "apache2")                     /* the web server's service name */      \
  X(HTTPD_LOG_D, "/var/log/apache2")              /* web server logs directory */          \
  X(HTTPD_INCLUDE_D, "/etc/apache2/conf-enabled") /* included configuration directory */   \
  X(HTTPD_CONF_D, "/etc/apache2")                 /* web server configuration directory */ \
  X(HTTPD_VHOSTS_D, "/var/www/vhosts")            /* virtual hosts directory */            \
  X(MYSQL_SOCKET, "/var/run/mysqld/mysqld.sock")  /* MySQL server socket */                \
  X(SA_MAX_MAIL_SIZE, "256000") /* largest mail that SpamAssassin checks, in bytes */      \
  X(SNI_SUPPORT, "true")        /* whether the web server supports SNI */                  \
  X(PRODUCT_ROOT_D, "/opt/vex") /* the panel's installation directory */                   \
  X(_MAX_POSSIBLE_VEX_CONF_VAR_NAME, "_MAX_POSSIBLE_VEX_CONF_VAR_VALUE") /* 30: bound */
