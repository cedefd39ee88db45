#include "kelmarion_meta/tools/detail/sqlite_inspector.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "kelmarion_core/errors.h"
#include "kelmarion_meta/tools/source_inspect.h"
#include "support/test_support.h"

namespace kelmarion::meta {
namespace {

using nlohmann::ordered_json;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::ThrowsMessage;

struct ConnectionCloser {
  void operator()(sqlite3* connection) const noexcept { sqlite3_close_v2(connection); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

// Opens (creating) a database file for writing the schema under test.
Connection open_writable(const std::filesystem::path& path) {
  sqlite3* raw = nullptr;
  const int result =
      sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  Connection connection(raw);
  if (result != SQLITE_OK) throw std::runtime_error(sqlite3_errmsg(raw));
  return connection;
}

void execute(sqlite3* connection, const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error != nullptr ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error(message + " in: " + sql);
  }
}

std::string url_of(const std::filesystem::path& path) { return "sqlite:///" + path.string(); }

// Writes the schema into a fresh file and inspects it through SourceInspect.
class SqliteInspectorTest : public ::testing::Test {
 protected:
  std::filesystem::path create(const std::string& sql, const std::string& file = "inspected.db") {
    const auto path = _dir.path() / file;
    execute(open_writable(path).get(), sql);
    return path;
  }

  ordered_json inspect(const std::string& sql, std::optional<std::string> schema_name = {}) {
    const auto path = create(sql);
    auto document =
        SourceInspect({.engine_name = url_of(path)}).get_schema({.schema_name = schema_name});
    if (!document) throw std::runtime_error("schema not found");
    return *document;
  }

  static const ordered_json& table(const ordered_json& document, std::string_view name) {
    for (const auto& entry : document.at("tables")) {
      if (entry.at("table_name") == name) return entry;
    }
    throw std::runtime_error("no table " + std::string(name));
  }

  kelmarion::testing::TempDir _dir;
};

TEST_F(SqliteInspectorTest, DescribesTablesAndViewsWithKeysAndIndexes) {
  const auto document = inspect(R"sql(
    CREATE TABLE parent (id INTEGER PRIMARY KEY, code VARCHAR(20) NOT NULL UNIQUE,
                         price NUMERIC(10,2) DEFAULT 0);
    CREATE TABLE child (
      parent_id INTEGER NOT NULL,
      line INT NOT NULL,
      note TEXT DEFAULT 'none',
      CONSTRAINT child_pk PRIMARY KEY (parent_id, line),
      CONSTRAINT child_parent FOREIGN KEY (parent_id) REFERENCES parent (id) ON DELETE CASCADE);
    CREATE INDEX child_note ON child (note);
    CREATE VIEW priced (code, total) AS SELECT code, price * 2 FROM parent;
  )sql");

  const auto expected = ordered_json::parse(R"json({
    "schema_name": "main",
    "tables": [
      {"table_name": "child", "comment": null,
       "columns": [
         {"name": "parent_id", "type": "INTEGER", "nullable": false, "default": null,
          "autoincrement": false, "comment": null},
         {"name": "line", "type": "INT", "nullable": false, "default": null,
          "autoincrement": false, "comment": null},
         {"name": "note", "type": "TEXT", "nullable": true, "default": "'none'",
          "autoincrement": false, "comment": null}],
       "primary_key": {"name": "child_pk", "constrained_columns": ["parent_id", "line"]},
       "foreign_keys": [
         {"name": "child_parent", "constrained_columns": ["parent_id"], "referred_schema": "main",
          "referred_table": "parent", "referred_columns": ["id"],
          "options": {"ondelete": "CASCADE"}}],
       "indexes": [{"name": "child_note", "column_names": ["note"], "unique": false}]},
      {"table_name": "parent", "comment": null,
       "columns": [
         {"name": "id", "type": "INTEGER", "nullable": false, "default": null,
          "autoincrement": true, "comment": null},
         {"name": "code", "type": "VARCHAR(20)", "nullable": false, "default": null,
          "autoincrement": false, "comment": null},
         {"name": "price", "type": "NUMERIC(10,2)", "nullable": true, "default": "0",
          "autoincrement": false, "comment": null}],
       "primary_key": {"name": null, "constrained_columns": ["id"]},
       "foreign_keys": [],
       "indexes": [{"name": "sqlite_autoindex_parent_1", "column_names": ["code"], "unique": true}]}
    ],
    "views": [
      {"view_name": "priced", "definition": "SELECT code, price * 2 FROM parent", "comment": null,
       "columns": [
         {"name": "code", "type": "VARCHAR(20)", "nullable": true, "default": null,
          "autoincrement": false, "comment": null},
         {"name": "total", "type": "", "nullable": true, "default": null,
          "autoincrement": false, "comment": null}]}
    ],
    "comment": null
  })json");
  EXPECT_EQ(document.dump(2), expected.dump(2));
}

TEST_F(SqliteInspectorTest, AutoincrementMarksOnlyTheIntegerPrimaryKeyRowidAlias) {
  const auto document = inspect(R"sql(
    CREATE TABLE alias (id INTEGER PRIMARY KEY, v TEXT);
    CREATE TABLE alias_by_table_key (id integer, v TEXT, PRIMARY KEY (id DESC));
    CREATE TABLE int_key (id INT PRIMARY KEY, v TEXT);
    CREATE TABLE desc_column_key (id INTEGER PRIMARY KEY DESC, v TEXT);
    CREATE TABLE composite (a INTEGER, b INTEGER, PRIMARY KEY (a, b));
    CREATE TABLE no_rowid (id INTEGER PRIMARY KEY, v TEXT) WITHOUT ROWID;
    CREATE TABLE computed (id INTEGER PRIMARY KEY, v INT, twice INT GENERATED ALWAYS AS (v * 2));
  )sql");

  const std::pair<const char*, bool> cases[] = {
      {"alias", true},      {"alias_by_table_key", true},
      {"int_key", false},   {"desc_column_key", false},
      {"composite", false}, {"no_rowid", false},
  };
  for (const auto& [name, autoincrement] : cases) {
    const auto& columns = table(document, name).at("columns");
    EXPECT_EQ(columns.at(0).at("autoincrement"), autoincrement) << name;
    EXPECT_EQ(columns.at(1).at("autoincrement"), false) << name;
  }
  EXPECT_EQ(table(document, "composite").at("primary_key").at("constrained_columns"),
            ordered_json({"a", "b"}));
  EXPECT_EQ(table(document, "no_rowid").at("indexes"), ordered_json::array());
  const auto& computed = table(document, "computed").at("columns");
  ASSERT_EQ(computed.size(), 3U);
  EXPECT_EQ(computed.at(2).at("name"), "twice");
}

TEST_F(SqliteInspectorTest, ForeignKeysKeepNamesOptionsAndMissingParents) {
  const auto document = inspect(R"sql(
    CREATE TABLE parent (a INT, b INT, PRIMARY KEY (a, b));
    CREATE TABLE solo (id INTEGER PRIMARY KEY);
    CREATE TABLE child (
      a INT, b INT,
      single INTEGER CONSTRAINT "to solo" REFERENCES solo ON UPDATE SET NULL,
      ghost_id INT REFERENCES ghost,
      ghost_code TEXT REFERENCES ghost (code),
      FOREIGN KEY (a, b) REFERENCES parent (a, b) ON DELETE CASCADE
        DEFERRABLE INITIALLY DEFERRED,
      CONSTRAINT later FOREIGN KEY (b) REFERENCES parent (b) DEFERRABLE);
  )sql");

  const auto expected = ordered_json::parse(R"json([
    {"name": "to solo", "constrained_columns": ["single"], "referred_schema": "main",
     "referred_table": "solo", "referred_columns": ["id"],
     "options": {"onupdate": "SET NULL"}},
    {"name": null, "constrained_columns": ["ghost_id"], "referred_schema": "main",
     "referred_table": "ghost", "referred_columns": [], "options": {}},
    {"name": null, "constrained_columns": ["ghost_code"], "referred_schema": "main",
     "referred_table": "ghost", "referred_columns": ["code"], "options": {}},
    {"name": null, "constrained_columns": ["a", "b"], "referred_schema": "main",
     "referred_table": "parent", "referred_columns": ["a", "b"],
     "options": {"ondelete": "CASCADE", "deferrable": true, "initially": "DEFERRED"}},
    {"name": "later", "constrained_columns": ["b"], "referred_schema": "main",
     "referred_table": "parent", "referred_columns": ["b"],
     "options": {"deferrable": true, "initially": "IMMEDIATE"}}
  ])json");
  EXPECT_EQ(table(document, "child").at("foreign_keys").dump(2), expected.dump(2));
}

TEST_F(SqliteInspectorTest, IndexesCoverUniqueConstraintsAndExpressionsButNotThePrimaryKey) {
  const auto document = inspect(R"sql(
    CREATE TABLE t (id TEXT PRIMARY KEY, a INT, b TEXT,
                    CONSTRAINT t_a_b UNIQUE (a, b), UNIQUE (b));
    CREATE UNIQUE INDEX t_lower ON t (lower(b) COLLATE NOCASE DESC, a) WHERE a > 0;
  )sql");

  const auto expected = ordered_json::parse(R"json([
    {"name": "sqlite_autoindex_t_3", "column_names": ["b"], "unique": true},
    {"name": "t_a_b", "column_names": ["a", "b"], "unique": true},
    {"name": "t_lower", "column_names": [null, "a"], "unique": true,
     "expressions": ["lower(b)", null], "dialect_options": {"sqlite_where": "a > 0"}}
  ])json");
  EXPECT_EQ(table(document, "t").at("indexes").dump(2), expected.dump(2));
}

TEST_F(SqliteInspectorTest, HostileNamesComeBackExactlyAsStored) {
  const auto document = inspect(R"sql(
    CREATE TABLE "it's ""quoted""; DROP TABLE x; --" (
      "a b" INTEGER CONSTRAINT "pk; --" PRIMARY KEY,
      "prénom ☃" TEXT CONSTRAINT [uq "x"] UNIQUE,
      `back``tick` INT REFERENCES "it's ""quoted""; DROP TABLE x; --" ("a b"));
    CREATE INDEX "ix /* not a comment */" ON "it's ""quoted""; DROP TABLE x; --" ("prénom ☃");
  )sql");

  ASSERT_EQ(document.at("tables").size(), 1U);
  const auto& hostile = document.at("tables").at(0);
  EXPECT_EQ(hostile.at("table_name"), "it's \"quoted\"; DROP TABLE x; --");
  EXPECT_EQ(hostile.at("columns").at(0).at("name"), "a b");
  EXPECT_EQ(hostile.at("columns").at(1).at("name"), "prénom ☃");
  EXPECT_EQ(hostile.at("columns").at(2).at("name"), "back`tick");
  EXPECT_EQ(hostile.at("primary_key").at("name"), "pk; --");
  EXPECT_EQ(hostile.at("foreign_keys").at(0).at("referred_table"),
            "it's \"quoted\"; DROP TABLE x; --");
  EXPECT_EQ(hostile.at("foreign_keys").at(0).at("referred_columns"), ordered_json({"a b"}));
  EXPECT_EQ(hostile.at("indexes").at(0).at("name"), "ix /* not a comment */");
  EXPECT_EQ(hostile.at("indexes").at(1).at("name"), "uq \"x\"");
  EXPECT_EQ(hostile.at("indexes").at(1).at("column_names"), ordered_json({"prénom ☃"}));
}

// SQLite keeps names as the bytes they were given; a document of well-formed
// UTF-8 could only replace bad bytes, merging names that differ in them.
TEST_F(SqliteInspectorTest, TextsThatAreNotUtf8AreRefusedNamingTheirObject) {
  struct Case {
    std::string object;
    std::string sql;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"table", "CREATE TABLE \"ab\xff\" (x INT); CREATE TABLE \"ab\xfe\" (x INT);",
       R"(table 'ab\xfe': name is not valid UTF-8)"},
      {"column", "CREATE TABLE t (ok INT, \"c\xc3\" INT);",  // a sequence cut short
       R"(table 't', column 'c\xc3': name is not valid UTF-8)"},
      {"index", "CREATE TABLE t (x INT); CREATE INDEX \"i\xed\xa0\x80\" ON t (x);",  // a surrogate
       R"(table 't', index 'i\xed\xa0\x80': name is not valid UTF-8)"},
      {"view", "CREATE VIEW \"v\xc0\xaf\" AS SELECT 1 AS one;",  // an overlong form
       R"(view 'v\xc0\xaf': name is not valid UTF-8)"},
      {"type", "CREATE TABLE t (x INT\xf4\x90\x80\x80);",  // above U+10FFFF
       R"(table 't', column 'x': type 'INT\xf4\x90\x80\x80' is not valid UTF-8)"},
      {"referred table", "CREATE TABLE t (x INT REFERENCES \"p\xff\");",
       R"(table 't', foreign key #1: referred_table 'p\xff' is not valid UTF-8)"},
  };
  for (const auto& [object, sql, message] : cases) {
    SCOPED_TRACE(object);
    const auto path = create(sql, object + ".db");
    EXPECT_THAT([&] { (void)SourceInspect({.engine_name = url_of(path)}).get_schema(); },
                ThrowsMessage<core::DocumentError>(HasSubstr(message)));
  }
}

// A view reading a table or column dropped since leaves the rest of the schema
// as it would be without it.
TEST_F(SqliteInspectorTest, ViewThatNoLongerCompilesHasUnknownColumnsAndAWarning) {
  const std::string tables = R"sql(
    CREATE TABLE kept (id INTEGER PRIMARY KEY, b TEXT NOT NULL);
    CREATE TABLE child (x INT REFERENCES over_table);
    CREATE VIEW fine AS SELECT id FROM kept;
  )sql";
  const auto inspect_file = [](const std::filesystem::path& path) {
    return *SourceInspect({.engine_name = url_of(path)}).get_schema();
  };
  const auto healthy = inspect_file(create(tables + "CREATE TABLE renamed (a);", "healthy.db"));
  const auto broken_path = create(tables + R"sql(
    CREATE TABLE renamed (a, b);
    CREATE TABLE dropped (a INT);
    CREATE VIEW over_table AS SELECT a FROM dropped;
    CREATE VIEW over_column AS SELECT b FROM renamed;
    DROP TABLE dropped;
    DROP TABLE renamed;
    CREATE TABLE renamed (a);
  )sql");

  const kelmarion::testing::LogCapture log(kelmarion::testing::LogCapture::Level::warning);
  const auto broken = inspect_file(broken_path);

  EXPECT_EQ(broken.at("tables"), healthy.at("tables"));
  const auto expected_views = ordered_json::parse(R"json([
    {"view_name": "fine", "definition": "SELECT id FROM kept", "comment": null,
     "columns": [{"name": "id", "type": "INTEGER", "nullable": true, "default": null,
                  "autoincrement": false, "comment": null}]},
    {"view_name": "over_column", "definition": "SELECT b FROM renamed", "comment": null,
     "columns": []},
    {"view_name": "over_table", "definition": "SELECT a FROM dropped", "comment": null,
     "columns": []}
  ])json");
  EXPECT_EQ(broken.at("views").dump(2), expected_views.dump(2));
  EXPECT_THAT(log.lines(),
              ElementsAre("view 'over_column': its definition does not compile (no such column: "
                          "b); its columns are unknown",
                          "view 'over_table': its definition does not compile (no such table: "
                          "main.dropped); its columns are unknown"));
}

TEST_F(SqliteInspectorTest, SchemasAreMainTempAndAttachedDatabases) {
  const auto main_path = create("CREATE TABLE in_main (id INT);", "main.db");
  const auto other_path =
      create("CREATE TABLE in_other (id INT, p INT REFERENCES in_other);", "other.db");
  const auto connection = open_writable(main_path);
  execute(connection.get(), "ATTACH DATABASE '" + other_path.string() +
                                "' AS \"other db\";"
                                "CREATE TEMP TABLE scratch (id INT);");
  detail::SqliteInspector inspector(connection.get());

  const auto main = inspector.get_schema(std::nullopt);
  ASSERT_TRUE(main.has_value());
  EXPECT_EQ(main->at("schema_name"), "main");
  EXPECT_EQ(main->at("tables").at(0).at("table_name"), "in_main");

  const auto other = inspector.get_schema("other db");
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(other->at("schema_name"), "other db");
  ASSERT_EQ(other->at("tables").size(), 1U);
  EXPECT_EQ(other->at("tables").at(0).at("foreign_keys").at(0).at("referred_schema"), "other db");

  const auto temp = inspector.get_schema("temp");
  ASSERT_TRUE(temp.has_value());
  EXPECT_EQ(temp->at("tables").at(0).at("table_name"), "scratch");

  EXPECT_EQ(inspector.get_schema("missing"), std::nullopt);
  EXPECT_EQ(
      SourceInspect({.engine_name = url_of(main_path)}).get_schema({.schema_name = "other db"}),
      std::nullopt);
}

TEST_F(SqliteInspectorTest, InspectingLeavesTheFileUntouched) {
  const auto path = create(R"sql(
    PRAGMA journal_mode = DELETE;
    CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT);
    INSERT INTO t (v) VALUES ('x');
  )sql");
  const auto read_bytes = [&] {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const auto bytes_before = read_bytes();
  const auto time_before = std::filesystem::last_write_time(path);

  ASSERT_TRUE(SourceInspect({.engine_name = url_of(path)}).get_schema().has_value());

  EXPECT_EQ(read_bytes(), bytes_before);
  EXPECT_EQ(std::filesystem::last_write_time(path), time_before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(_dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(SqliteInspectorTest, BadEnginesAreConfigurationErrorsNamingTheEngine) {
  const auto missing = _dir.path() / "missing.db";
  EXPECT_THAT([&] { (void)SourceInspect({.engine_name = url_of(missing)}).get_schema(); },
              ThrowsMessage<core::ConfigurationError>(HasSubstr(url_of(missing))));
  EXPECT_FALSE(std::filesystem::exists(missing));

  EXPECT_THAT(
      [] { (void)SourceInspect({.engine_name = "oracle://scott:tiger@db/orcl"}).get_schema(); },
      ThrowsMessage<core::ConfigurationError>(
          AllOf(HasSubstr("oracle://scott@db/orcl"), Not(HasSubstr("tiger")))));
}

}  // namespace
}  // namespace kelmarion::meta
