#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>
#include <libpq-fe.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "apps/store_backend.h"
#include "apps/store_rows.h"
#include "support/mysql_server.h"
#include "support/test_support.h"

namespace kelmarion::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::string_view password = "s3cretPW";

// `url` (a libpq URI) with `secret` as the password in its user information:
// "postgresql:///db?host=/s&user=ann" becomes "postgresql://ann:s3cretPW@/db?host=/s&user=ann".
std::string with_password_in_user_info(const std::string& url,
                                       const std::string& secret = std::string(password)) {
  const std::string scheme = "postgresql://";
  std::string user = "postgres";
  if (const auto at = url.find("user="); at != std::string::npos) {
    user = url.substr(at + 5, url.find('&', at) - (at + 5));
  }
  return scheme + user + ":" + secret + "@" + url.substr(scheme.size());
}

// `url` with a parameter `key` (libpq's "password", or another spelling of a
// secret) holding the password.
std::string with_password_parameter(const std::string& url, const std::string& key = "password") {
  return url + (url.find('?') == std::string::npos ? "?" : "&") + key + "=" +
         std::string(password);
}

// The libpq URI `url` as key=value pairs, with the password added.
std::string as_key_value_pairs_with_password(const std::string& url) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
  PQfreemem(error);
  std::string pairs = "password=" + std::string(password);
  for (const auto* option = options; option != nullptr && option->keyword != nullptr; ++option) {
    if (option->val == nullptr) continue;
    std::string value;
    for (const char c : std::string_view(option->val)) {
      if (c == '\'' || c == '\\') value += '\\';
      value += c;
    }
    pairs += fmt::format(" {}='{}'", option->keyword, value);
  }
  PQconninfoFree(options);
  return pairs;
}

// The database of `url` ("postgresql:///db?host=...") on a port nothing listens on.
std::string with_wrong_host(const std::string& url) {
  const auto database_start = url.find(":///") + 4;
  return "postgresql://ann:" + std::string(password) + "@127.0.0.1:1/" +
         url.substr(database_start, url.find('?') - database_start);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream input(path, std::ios::binary);
  std::ostringstream text;
  text << input.rdbuf();
  return text.str();
}

class Secrets : public StoreBackendTest {
 protected:
  // Runs `arguments` with -v and expects the password in neither output.
  ToolRun run_verbose(const std::string& name, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "-v");
    auto run = tool(std::move(arguments));
    EXPECT_THAT(run.out, Not(HasSubstr(password))) << name;
    EXPECT_THAT(run.err, Not(HasSubstr(password))) << name;
    return run;
  }

  // The store's location with the password in it: the PostgreSQL store's URL;
  // SQLite has no passwords, its store is the plain file.
  [[nodiscard]] std::string store_with_password() const {
    return GetParam() == StoreBackend::postgresql ? with_password_in_user_info(store_url())
                                                  : "sqlite:///" + store_url();
  }

  void expect_store_free_of_password() {
    for (const auto& row : store_rows(store_url())) {
      EXPECT_THAT(row, Not(HasSubstr(password))) << store_url();
    }
  }

  // No file or folder the tool made, whatever it took for a file name, holds the password.
  void expect_no_file_named_with_password() {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(directory())) {
      EXPECT_THAT(entry.path().string(), Not(HasSubstr(password)));
    }
  }
};

TEST_P(Secrets, SqliteUrlsCarryingAPasswordNeverShowIt) {
  const auto shop = create_shop();
  const auto engine = engine_url(shop);
  const auto store = store_with_password();
  const auto saved = run_verbose("save", {"save", "--engine", engine, "--store", store});
  EXPECT_EQ(saved.status, 0) << saved.err;

  const std::string secret(password);
  // Nothing listens on port 1: a location taken for PostgreSQL fails to connect (1).
  const std::string key_value_pairs = "host=127.0.0.1 port=1 dbname=x password=" + secret;
  const std::vector<std::tuple<std::string, std::vector<std::string>, int>> failing = {
      {"inspect, password parameter", {"inspect", "--engine", engine + "?password=" + secret}, 2},
      {"inspect, password before the host",
       {"inspect", "--engine", "sqlite://ann:" + secret + "@/shop.db"},
       2},
      {"save, password parameter",
       {"save", "--engine", engine + "?mode=ro&password=" + secret, "--store", store},
       2},
      {"save into a sqlite URL with a password parameter",
       {"save", "--engine", engine, "--store", "sqlite:///" + store_url() + "?password=" + secret},
       2},
      {"save into a sqlite URL with a fragment",
       {"save", "--engine", engine, "--store", "sqlite:///new.db#" + secret},
       2},
      {"show, absent store", {"show", "--store", "sqlite:///absent.db?password=" + secret}, 2},
      {"show, bad schema", {"show", "--store", store, "--schema", "absent"}, 2},
      {"inspect, key=value pairs", {"inspect", "--engine", key_value_pairs}, 1},
      {"save into key=value pairs", {"save", "--engine", engine, "--store", key_value_pairs}, 1},
      {"show key=value pairs", {"show", "--store", key_value_pairs}, 1},
      {"save into mistyped key=value pairs",
       {"save", "--engine", engine, "--store", "host=127.0.0.1 passwrd=" + secret},
       2},
  };
  for (const auto& [name, arguments, status] : failing) {
    const auto run = run_verbose(name, arguments);
    EXPECT_EQ(run.status, status) << name << ": " << run.err;
    if (status == 1) {
      EXPECT_THAT(run.err, HasSubstr("cannot connect")) << name;
    }
  }
  EXPECT_EQ(run_verbose("show", {"show", "--store", store}).status, 0);
  EXPECT_EQ(run_verbose("show json", {"show", "--store", store, "--format", "json"}).status, 0);
  expect_store_free_of_password();
  expect_no_file_named_with_password();
}

TEST_P(Secrets, PostgresqlPasswordsAppearInNoOutputLogMessageOrRecord) {
  const auto url = postgresql_test_url();
  if (!url) GTEST_SKIP() << "KELMARION_TEST_PG_URL is not set (scripts/with_postgres.sh sets it)";
  const auto schema = unique_name("secrets");
  postgresql_execute(*url, "CREATE SCHEMA " + schema + "; CREATE TABLE " + schema +
                               ".customers (id serial PRIMARY KEY, email text UNIQUE);"
                               "CREATE TABLE " +
                               schema + ".orders (id serial PRIMARY KEY, " +
                               "customer_id integer REFERENCES " + schema + ".customers)");
  struct DropSchema {
    std::string url, sql;
    ~DropSchema() { postgresql_execute(url, sql); }
  } const drop{*url, "DROP SCHEMA " + schema + " CASCADE"};

  const auto engine = with_password_in_user_info(*url);
  const auto engine_parameter = with_password_parameter(*url);
  const auto store = store_with_password();
  const auto saved_file = (directory() / "saved.json").string();
  // libpq reads the user information up to the '@' before the first '/'.
  const auto question_mark = with_password_in_user_info(*url, "pa?" + std::string(password));
  const auto hash_mark = with_password_in_user_info(*url, "pa#" + std::string(password));
  const auto store_key_value = GetParam() == StoreBackend::postgresql
                                   ? as_key_value_pairs_with_password(store_url())
                                   : store;

  struct Call {
    std::string name;
    std::vector<std::string> arguments;
    int status;
  };
  const std::vector<Call> calls = {
      {"inspect", {"inspect", "--engine", engine, "--schema", schema}, 0},
      {"inspect, password parameter",
       {"inspect", "--engine", engine_parameter, "--schema", schema},
       0},
      {"save", {"save", "--engine", engine, "--schema", schema, "--store", store}, 0},
      {"save again, document out",
       {"save", "--engine", engine_parameter, "--schema", schema, "--store", store, "-o",
        saved_file},
       0},
      {"save a document",
       {"save", "--document", saved_file, "--engine", engine, "--store", store},
       0},
      {"inspect, sslpassword",
       {"inspect", "--engine", with_password_parameter(*url, "sslpassword"), "--schema", schema},
       0},
      {"inspect, percent-encoded key",
       {"inspect", "--engine", with_password_parameter(*url, "pass%77ord"), "--schema", schema},
       0},
      {"save, '?' in the password",
       {"save", "--engine", question_mark, "--schema", schema, "--store", store},
       0},
      {"save, '#' in the password",
       {"save", "--engine", hash_mark, "--schema", schema, "--store", store_key_value},
       0},
      {"save, key=value pairs",
       {"save", "--engine", as_key_value_pairs_with_password(*url), "--schema", schema, "--store",
        store_key_value},
       0},
      {"show key=value pairs", {"show", "--store", store_key_value}, 0},
      {"show", {"show", "--store", store}, 0},
      {"show json", {"show", "--store", store, "--schema", schema, "--format", "json"}, 0},
      {"inspect, wrong host", {"inspect", "--engine", with_wrong_host(*url)}, 1},
      {"save, wrong host", {"save", "--engine", with_wrong_host(*url), "--store", store}, 1},
      {"inspect, bad schema", {"inspect", "--engine", engine, "--schema", "no_such_schema"}, 2},
      {"save, bad schema",
       {"save", "--engine", engine, "--schema", "no_such_schema", "--store", store},
       2},
      {"inspect, no such database",
       {"inspect", "--engine",
        with_password_in_user_info("postgresql:///no_such_database" + url->substr(url->find('?')))},
       1},
      {"show, bad schema", {"show", "--store", store, "--schema", "no_such_schema"}, 2},
      {"save, store on a wrong host",
       {"save", "--engine", engine, "--schema", schema, "--store", with_wrong_host(*url)},
       1},
      {"show, store on a wrong host", {"show", "--store", with_wrong_host(*url)}, 1},
  };
  for (const auto& call : calls) {
    const auto run = run_verbose(call.name, call.arguments);
    EXPECT_EQ(run.status, call.status) << call.name << ": " << run.err;
  }

  EXPECT_THAT(read_file(saved_file), Not(HasSubstr(password)));
  const auto shown = tool({"show", "--store", store, "--schema", schema});
  EXPECT_THAT(shown.out, HasSubstr("(engine user="));
  expect_store_free_of_password();
  expect_no_file_named_with_password();
}

TEST_P(Secrets, MysqlPasswordsAppearInNoOutputLogMessageOrRecord) {
  const auto url = mysql_test_url();
  if (!url) GTEST_SKIP() << "KELMARION_TEST_MYSQL_URL is not set (scripts/with_mariadb.sh sets it)";
  MysqlAdmin admin(*url);
  const auto database = admin.create_database("secrets");
  const auto user = unique_name("secret_user");
  admin.execute("CREATE TABLE " + database +
                ".customers (id int AUTO_INCREMENT PRIMARY KEY, email varchar(99) UNIQUE);"
                "CREATE TABLE " +
                database +
                ".orders (id int PRIMARY KEY, customer_id int,"
                " FOREIGN KEY (customer_id) REFERENCES " +
                database +
                ".customers (id));"
                "CREATE USER '" +
                user + "'@'localhost' IDENTIFIED BY '" + std::string(password) +
                "'; GRANT SELECT ON " + database + ".* TO '" + user + "'@'localhost'");
  struct DropUser {
    MysqlAdmin& admin;
    std::string sql;
    ~DropUser() {
      try {
        admin.execute(sql);
      } catch (const std::exception&) {
        // A user left on a throwaway server does no harm; a throwing destructor would.
      }
    }
  } const drop{admin, "DROP USER '" + user + "'@'localhost'"};

  const auto engine = mysql_url_as(*url, user, std::string(password), database);
  const auto engine_parameter =
      mysql_url_as(*url, user, "", database, "password=" + std::string(password));
  // A password holding the real one: a refused login.
  const auto refused = mysql_url_as(*url, user, std::string(password) + "x", database);
  const auto wrong_host =
      "mysql://" + user + ":" + std::string(password) + "@127.0.0.1:1/" + database;
  const auto no_database = mysql_url_as(*url, user, std::string(password), "no_such_database");
  const auto store = store_with_password();
  const auto saved_file = (directory() / "saved.json").string();

  struct Call {
    std::string name;
    std::vector<std::string> arguments;
    int status;
  };
  const std::vector<Call> calls = {
      {"inspect", {"inspect", "--engine", engine}, 0},
      {"inspect, password parameter", {"inspect", "--engine", engine_parameter}, 0},
      {"save", {"save", "--engine", engine, "--store", store}, 0},
      {"save again, document out",
       {"save", "--engine", engine_parameter, "--store", store, "-o", saved_file},
       0},
      {"show json", {"show", "--store", store, "--schema", database, "--format", "json"}, 0},
      {"inspect, refused login", {"inspect", "--engine", refused}, 1},
      {"save, refused login", {"save", "--engine", refused, "--store", store}, 1},
      {"inspect, wrong host", {"inspect", "--engine", wrong_host}, 1},
      {"inspect, bad schema", {"inspect", "--engine", engine, "--schema", "no_such_schema"}, 2},
      {"inspect, no such database", {"inspect", "--engine", no_database}, 2},
      {"inspect, unknown parameter",
       {"inspect", "--engine", engine + "&read_default_file=/etc/mysql/my.cnf"},
       2},
  };
  for (const auto& call : calls) {
    const auto run = run_verbose(call.name, call.arguments);
    EXPECT_EQ(run.status, call.status) << call.name << ": " << run.err;
  }

  EXPECT_THAT(read_file(saved_file), Not(HasSubstr(password)));
  const auto shown = tool({"show", "--store", store, "--schema", database});
  EXPECT_THAT(shown.out, HasSubstr("(engine mysql://" + user + "@"));
  expect_store_free_of_password();
}

INSTANTIATE_TEST_SUITE_P(Stores, Secrets, all_store_backends(), store_backend_name);

}  // namespace
}  // namespace kelmarion::testing
