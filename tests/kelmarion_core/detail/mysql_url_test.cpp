#include "kelmarion_core/detail/mysql_url.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/errors.h"

namespace kelmarion::core::detail {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::ThrowsMessage;

TEST(MysqlUrl, RedactionDropsEveryFormOfThePassword) {
  const std::pair<std::string, std::string> cases[] = {
      {"mysql://ann:s3cret@db:3306/shop", "mysql://ann@db:3306/shop"},
      {"MariaDB://ann:s3/cr@t@db/shop", "MariaDB://ann@db/shop"},
      {"mysql://ann:s3cr%3Ft@/shop?socket=/run/"
       "my.sock&password=s3cret&connect_timeout=2",
       "mysql://ann@/shop?socket=/run/my.sock&connect_timeout=2"},
      {"mysql://ann:s3#cret@db/shop", "mysql://ann@db/shop"},
      {"mysql://:s3cret@db/shop", "mysql://@db/shop"},
      {"mysql://db/shop?password", "mysql://db/shop"},
      {"mysql:s3cret", "mysql://..."},
  };
  for (const auto& [url, redacted] : cases) EXPECT_EQ(redact_password(url), redacted) << url;
}

TEST(MysqlUrl, PartsAreDecodedAndBadOnesRefusedWithoutThePassword) {
  const auto full = parse_mysql_url(
      "mariadb://a%40nn:p%3Fss@w/rd@[::1]:3307/"
      "my%20db?unix_socket=/tmp/s%20k.sock"
      "&lock_wait_timeout=3");
  EXPECT_EQ(full.scheme, "mariadb");
  EXPECT_EQ(full.user, "a@nn");
  EXPECT_EQ(full.password, "p?ss@w/rd");
  EXPECT_EQ(full.host, "::1");
  EXPECT_EQ(full.port, 3307U);
  EXPECT_EQ(full.database, "my db");
  EXPECT_EQ(full.socket, "/tmp/s k.sock");
  EXPECT_EQ(full.lock_wait_timeout, 3U);
  EXPECT_EQ(full.connect_timeout, std::nullopt);

  // '?' and '#' in a password as written: the user information still ends at its '@'.
  const auto raw = parse_mysql_url("mysql://ann:p?s#s@db/shop?socket=/a@b.sock");
  EXPECT_EQ(raw.password, "p?s#s");
  EXPECT_EQ(raw.host, "db");
  EXPECT_EQ(raw.database, "shop");
  EXPECT_EQ(raw.socket, "/a@b.sock");

  const auto bare = parse_mysql_url("mysql://db");
  EXPECT_EQ(bare.password, std::nullopt);
  EXPECT_EQ(bare.database, "");
  EXPECT_EQ(bare.port, 0U);

  const std::pair<std::string, std::string> refused[] = {
      {"mysql://ann:Pa55@db:99999/shop", "port '99999'"},
      {"mysql://ann:Pa55@db:x/shop", "port 'x'"},
      {"mysql://ann:Pa55@db/shop?read_default_file=/etc/my.cnf", "'read_default_file'"},
      {"mysql://ann:Pa55@db/sh%zzop", "percent escape in the database"},
      {"mysql://ann:Pa55@db/shop?connect_timeout=-1", "connect_timeout '-1'"},
      {"postgresql://ann:Pa55@db/shop", "not a mysql:// or mariadb:// URL"},
  };
  for (const auto& [url, problem] : refused) {
    EXPECT_THAT(
        [&] { (void)parse_mysql_url(url); },
        ThrowsMessage<ConfigurationError>(AllOf(HasSubstr(problem), Not(HasSubstr("Pa55")))))
        << url;
  }
}

}  // namespace
}  // namespace kelmarion::core::detail
