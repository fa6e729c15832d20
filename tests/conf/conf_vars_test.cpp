#include <quill/conf/conf_vars.h>

#include <cstring>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

constexpr int kEntries = _MAX_POSSIBLE_VEX_CONF_VAR_NAME + 1;

TEST(ConfVars, CatalogueHasThirtyOneIndexesWithBoundsAtBothEnds) {
  EXPECT_EQ(_MIN_POSSIBLE_VEX_CONF_VAR_NAME, 0);
  EXPECT_EQ(NAMED_RUN_ROOT_D, 19);
  EXPECT_EQ(_MAX_POSSIBLE_VEX_CONF_VAR_NAME, 30);
  EXPECT_EQ(sizeof conf_var_names / sizeof conf_var_names[0], 31u);
  EXPECT_EQ(sizeof conf_var_defaults / sizeof conf_var_defaults[0], 31u);
  EXPECT_STREQ(conf_var_names[0], "_MIN_POSSIBLE_VEX_CONF_VAR_NAME");
  EXPECT_STREQ(conf_var_defaults[0], "_MIN_POSSIBLE_VEX_CONF_VAR_VALUE");
  EXPECT_STREQ(conf_var_names[30], "_MAX_POSSIBLE_VEX_CONF_VAR_NAME");
  EXPECT_STREQ(conf_var_defaults[30], "_MAX_POSSIBLE_VEX_CONF_VAR_VALUE");
}

TEST(ConfVars, EveryIndexHasAUniqueNameAndADefault) {
  std::set<std::string> names;
  for (int i = 0; i < kEntries; ++i) {
    ASSERT_NE(conf_var_names[i], nullptr) << i;
    ASSERT_NE(conf_var_defaults[i], nullptr) << i;
    names.insert(conf_var_names[i]);
  }
  EXPECT_EQ(names.size(), 31u);
}

// Callers pass the index: a shifted row would hand every program the wrong path.
TEST(ConfVars, IndexesNameTheirVariables) {
  const struct {
    ConfVar index;
    const char* name;
    const char* value;
  } rows[] = {
      {QUILL_MAILNAMES_D, "QUILL_MAILNAMES_D", "/var/qmail/mailnames"},
      {RBLSMTPD, "RBLSMTPD", "/usr/sbin/rblsmtpd"},
      {CLIENT_PHP_BIN, "CLIENT_PHP_BIN", "/opt/vex/bin/php-cli"},
      {LIB_CRYPTO_PATH, "LIB_CRYPTO_PATH", "/lib/libcrypto.so"},
      {LIB_SSL_PATH, "LIB_SSL_PATH", "/lib/libssl.so"},
      {AWSTATS_DOC_D, "AWSTATS_DOC_D", "/usr/share/awstats"},
      {AWSTATS_TOOLS_D, "AWSTATS_TOOLS_D", "/usr/share/awstats/tools"},
      {AWSTATS_BIN_D, "AWSTATS_BIN_D", "/usr/lib/cgi-bin"},
      {AWSTATS_ETC_D, "AWSTATS_ETC_D", "/etc/awstats"},
      {MAILMAN_VAR_D, "MAILMAN_VAR_D", "/var/lib/mailman"},
      {MAILMAN_ROOT_D, "MAILMAN_ROOT_D", "/usr/lib/mailman"},
      {PGSQL_DATA_D, "PGSQL_DATA_D", "/var/lib/postgresql/9.6/main"},
      {PGSQL_BIN_D, "PGSQL_BIN_D", "/usr/lib/postgresql/9.6/bin"},
      {MYSQL_BIN_D, "MYSQL_BIN_D", "/usr/bin"},
      {MYSQL_VAR_D, "MYSQL_VAR_D", "/var/lib/mysql"},
      {WEB_STAT, "WEB_STAT", "/usr/bin/webalizer"},
      {DUMP_D, "DUMP_D", "/var/lib/vex/dumps"},
      {DUMP_TMP_D, "DUMP_TMP_D", "/tmp"},
      {NAMED_RUN_ROOT_D, "NAMED_RUN_ROOT_D", "/var/named/run-root"},
      {HTTPD_BIN, "HTTPD_BIN", "/usr/sbin/apache2"},
      {HTTPD_SERVICE, "HTTPD_SERVICE", "apache2"},
      {HTTPD_LOG_D, "HTTPD_LOG_D", "/var/log/apache2"},
      {HTTPD_INCLUDE_D, "HTTPD_INCLUDE_D", "/etc/apache2/conf-enabled"},
      {HTTPD_CONF_D, "HTTPD_CONF_D", "/etc/apache2"},
      {HTTPD_VHOSTS_D, "HTTPD_VHOSTS_D", "/var/www/vhosts"},
      {MYSQL_SOCKET, "MYSQL_SOCKET", "/var/run/mysqld/mysqld.sock"},
      {SA_MAX_MAIL_SIZE, "SA_MAX_MAIL_SIZE", "256000"},
      {SNI_SUPPORT, "SNI_SUPPORT", "true"},
      {PRODUCT_ROOT_D, "PRODUCT_ROOT_D", "/opt/vex"},
  };
  int expectedIndex = 1;
  for (const auto& row : rows) {
    EXPECT_EQ(row.index, expectedIndex++) << row.name;
    EXPECT_STREQ(conf_var_names[row.index], row.name);
    EXPECT_STREQ(conf_var_defaults[row.index], row.value);
  }
  EXPECT_EQ(expectedIndex, 30);
}

TEST(ConfVars, DirectoryDefaultsHaveNoTrailingSlash) {
  for (int i = 0; i < kEntries; ++i) {
    const std::string name = conf_var_names[i], value = conf_var_defaults[i];
    if (name.size() > 2 && name.compare(name.size() - 2, 2, "_D") == 0) {
      EXPECT_EQ(value.front(), '/') << name;
      EXPECT_NE(value.back(), '/') << name;
    }
  }
}

}  // namespace
