#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "apps/store_backend.h"
#include "apps/store_rows.h"
#include "support/test_support.h"

namespace kelmarion::testing {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;
using json = nlohmann::ordered_json;
using Names = std::vector<std::string>;

Names sorted(Names names) {
  std::sort(names.begin(), names.end());
  return names;
}

// "x" quoted as an SQL identifier: "x", with inner quotes doubled.
std::string identifier(const std::string& name) {
  std::string text = "\"";
  for (const char c : name) text += c == '"' ? std::string("\"\"") : std::string(1, c);
  return text + '"';
}

// The names a schema is made of, as the engine holds them.
struct SchemaNames {
  Names tables;
  Names views;
  Names columns;  // of tables and views
  Names primary_keys;
  Names foreign_keys;
  Names indexes;
};

// The names of an inspected or shown document.
SchemaNames names_of(const json& document) {
  SchemaNames names;
  for (const auto& table : document.at("tables")) {
    names.tables.push_back(table.at("table_name"));
    for (const auto& column : table.at("columns")) names.columns.push_back(column.at("name"));
    const auto& primary_key = table.at("primary_key");
    if (!primary_key.is_null() && primary_key.at("name").is_string()) {
      names.primary_keys.push_back(primary_key.at("name"));
    }
    for (const auto& key : table.at("foreign_keys")) names.foreign_keys.push_back(key.at("name"));
    for (const auto& index : table.at("indexes")) names.indexes.push_back(index.at("name"));
  }
  for (const auto& view : document.at("views")) {
    names.views.push_back(view.at("view_name"));
    for (const auto& column : view.at("columns")) names.columns.push_back(column.at("name"));
  }
  return names;
}

// The names the store's records hold, read from its tables directly.
SchemaNames stored_names(const std::string& store) {
  return {store_query(store, "SELECT table_name FROM source_table"),
          store_query(store, "SELECT view_name FROM source_view"),
          store_query(store, "SELECT name FROM source_column"),
          store_query(store, "SELECT name FROM source_primary_key WHERE name IS NOT NULL"),
          store_query(store, "SELECT name FROM source_foreign_key"),
          store_query(store, "SELECT name FROM source_index")};
}

void expect_names(const SchemaNames& actual, const SchemaNames& expected, const std::string& what) {
  EXPECT_THAT(sorted(actual.tables), ElementsAreArray(sorted(expected.tables))) << what;
  EXPECT_THAT(sorted(actual.views), ElementsAreArray(sorted(expected.views))) << what;
  EXPECT_THAT(sorted(actual.columns), ElementsAreArray(sorted(expected.columns))) << what;
  EXPECT_THAT(sorted(actual.primary_keys), ElementsAreArray(sorted(expected.primary_keys))) << what;
  EXPECT_THAT(sorted(actual.foreign_keys), ElementsAreArray(sorted(expected.foreign_keys))) << what;
  EXPECT_THAT(sorted(actual.indexes), ElementsAreArray(sorted(expected.indexes))) << what;
}

// Names that break SQL built by pasting text, format strings and byte-length
// assumptions. Each table name, if run as SQL, would drop or empty table "y".
const std::string drop_table = R"(x"; DROP TABLE y; --)";
const std::string delete_rows = R"('); DELETE FROM y; --)";
const std::string drop_view = R"(v"; DROP TABLE y; --)";
const Names hostile_columns = {"it's",   "semi;colon",  R"(back\slash)",
                               "表格 🐘", "with  space", "%s%n%d {} {0} {:>10}"};
const std::string primary_key_name = R"(pk "quoted" ; --)";
const std::string foreign_key_name = R"(fk\ "x" --)";
const std::string index_name = "idx'; DROP TABLE y; --";
const std::string view_column = R"(col "'; --)";

class HostileNames : public StoreBackendTest {
 protected:
  // A table "y" with one row in the store, which a name run as SQL would drop.
  void add_victim_to_store() {
    if (GetParam() == StoreBackend::sqlite) {
      execute(store_url(), "CREATE TABLE y (v TEXT); INSERT INTO y VALUES ('still here');");
    } else {
      postgresql_execute(store_url(),
                         "CREATE TABLE y (v text); INSERT INTO y VALUES ('still here')");
    }
  }

  void expect_victim_alive(const std::string& location, const std::string& table) {
    EXPECT_THAT(store_query(location, "SELECT v FROM " + table), ElementsAreArray({"still here"}))
        << location;
  }

  // Inspects and saves `engine`'s schema `schema` twice, and checks that the
  // document, the store and `show` hold exactly `expected`.
  void check_round_trip(const std::string& engine, const std::string& schema,
                        const SchemaNames& expected) {
    const auto inspected = tool({"inspect", "--engine", engine, "--schema", schema});
    ASSERT_EQ(inspected.status, 0) << inspected.err;
    const auto document = json::parse(inspected.out);
    EXPECT_EQ(document.at("schema_name"), schema);
    expect_names(names_of(document), expected, "inspected document");

    const auto first =
        tool({"-v", "save", "--engine", engine, "--schema", schema, "--store", store_url()});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_THAT(first.err, HasSubstr("正在处理表: " + drop_table));
    expect_names(stored_names(store_url()), expected, "store");
    EXPECT_THAT(store_query(store_url(), "SELECT schema_name FROM source_schema"),
                ElementsAreArray({schema}));
    // The foreign key refers to a table of the same schema.
    EXPECT_EQ(summary_row(first.out, "referencing foreign keys"), (RecordCounts{1, 0, 0, 0}));

    // Saved again, every record is found by its names and updated in place.
    const auto second =
        tool({"save", "--engine", engine, "--schema", schema, "--store", store_url()});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(summary_row(second.out, "total"),
              (RecordCounts{0, 0, summary_row(first.out, "total").created, 0}));

    const auto shown =
        tool({"show", "--store", store_url(), "--schema", schema, "--format", "json"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    expect_names(names_of(json::parse(shown.out)), expected, "show --format json");
    const auto tree = tool({"show", "--store", store_url(), "--schema", schema});
    ASSERT_EQ(tree.status, 0) << tree.err;
    EXPECT_THAT(tree.out, HasSubstr(drop_table));
  }
};

TEST_P(HostileNames, SqliteNamesAreStoredExactlyAndNothingRunsThem) {
  add_victim_to_store();
  // SQLite sets no length limit on names; this one is long enough to pass any buffer.
  const std::string long_name = "long_" + std::string(4000, 'n');
  std::string columns;
  for (const auto& column : hostile_columns) columns += identifier(column) + " TEXT, ";
  const auto engine = create_database(
      "hostile.db",
      "CREATE TABLE y (id INTEGER PRIMARY KEY, v TEXT); INSERT INTO y (v) VALUES ('still here');"
      "CREATE TABLE " +
          identifier(drop_table) + " (" + columns + identifier(long_name) + " TEXT, CONSTRAINT " +
          identifier(primary_key_name) + " PRIMARY KEY (\"it's\", " +
          "\"semi;colon\"));"
          "CREATE TABLE " +
          identifier(delete_rows) + " (\"ref's\" TEXT, \"ref;2\" TEXT, " + "CONSTRAINT " +
          identifier(foreign_key_name) + " FOREIGN KEY (\"ref's\", \"ref;2\") " + "REFERENCES " +
          identifier(drop_table) + " (\"it's\", \"semi;colon\") ON DELETE CASCADE);" +
          "CREATE INDEX " + identifier(index_name) + " ON " + identifier(drop_table) +
          " (\"表格 🐘\", \"with  space\");" + "CREATE UNIQUE INDEX " + identifier(long_name) +
          " ON " + identifier(delete_rows) + " (\"ref;2\");" + "CREATE VIEW " +
          identifier(drop_view) + " AS SELECT \"it's\" AS " + identifier(view_column) + " FROM " +
          identifier(drop_table) + ";");

  SchemaNames expected{{drop_table, delete_rows, "y"},
                       {drop_view},
                       hostile_columns,
                       {primary_key_name},
                       {foreign_key_name},
                       {index_name, long_name}};
  expected.columns.insert(expected.columns.end(),
                          {long_name, "ref's", "ref;2", "id", "v", view_column});
  check_round_trip(engine_url(engine), "main", expected);

  expect_victim_alive(engine.string(), "y");
  expect_victim_alive(store_url(), "y");
}

TEST_P(HostileNames, PostgresqlNamesOfTheLongestLengthAreStoredExactlyAndNothingRunsThem) {
  const auto url = postgresql_test_url();
  if (!url) GTEST_SKIP() << "KELMARION_TEST_PG_URL is not set (scripts/with_postgres.sh sets it)";
  add_victim_to_store();
  // PostgreSQL keeps at most 63 bytes of a name: in ASCII, CJK and emoji.
  const std::string ascii_63(63, 'a');
  std::string cjk_63;
  for (int i = 0; i < 21; ++i) cjk_63 += "表";
  std::string emoji_63 = "abc";
  for (int i = 0; i < 15; ++i) emoji_63 += "🐘";
  ASSERT_EQ(cjk_63.size(), 63U);
  ASSERT_EQ(emoji_63.size(), 63U);

  const auto schema = unique_name(R"(s'"; DROP TABLE y; --)");
  const auto in_schema = [&schema](const std::string& name) {
    return identifier(schema) + "." + identifier(name);
  };
  postgresql_execute(*url, "CREATE SCHEMA " + identifier(schema));
  struct DropSchema {
    std::string url, sql;
    ~DropSchema() { postgresql_execute(url, sql); }
  } const drop{*url, "DROP SCHEMA " + identifier(schema) + " CASCADE"};

  std::string columns;
  for (const auto& column : hostile_columns) columns += identifier(column) + " text, ";
  postgresql_execute(*url, "CREATE TABLE " + in_schema("y") +
                               " (id serial PRIMARY KEY, v text);"
                               "INSERT INTO " +
                               in_schema("y") +
                               " (v) VALUES ('still here');"
                               "CREATE TABLE " +
                               in_schema(drop_table) + " (" + columns + identifier(ascii_63) +
                               " text, CONSTRAINT " + identifier(primary_key_name) +
                               " PRIMARY KEY (\"it's\", \"semi;colon\"));"
                               "CREATE TABLE " +
                               in_schema(cjk_63) + " (\"ref's\" text, \"ref;2\" text, CONSTRAINT " +
                               identifier(foreign_key_name) +
                               " FOREIGN KEY (\"ref's\", \"ref;2\") REFERENCES " +
                               in_schema(drop_table) +
                               " (\"it's\", \"semi;colon\") ON DELETE CASCADE);"
                               "CREATE INDEX " +
                               identifier(index_name) + " ON " + in_schema(drop_table) +
                               " (\"表格 🐘\", \"with  space\");"
                               "CREATE UNIQUE INDEX " +
                               identifier(emoji_63) + " ON " + in_schema(cjk_63) +
                               " (\"ref;2\");"
                               "CREATE VIEW " +
                               in_schema(drop_view) + " AS SELECT \"it's\" AS " +
                               identifier(view_column) + " FROM " + in_schema(drop_table) + ";");

  SchemaNames expected{{drop_table, cjk_63, "y"},    {drop_view},        hostile_columns,
                       {primary_key_name, "y_pkey"}, {foreign_key_name}, {index_name, emoji_63}};
  expected.columns.insert(expected.columns.end(),
                          {ascii_63, "ref's", "ref;2", "id", "v", view_column});
  check_round_trip(*url, schema, expected);

  expect_victim_alive(*url, in_schema("y"));
  expect_victim_alive(store_url(), "y");
}

INSTANTIATE_TEST_SUITE_P(Stores, HostileNames, all_store_backends(), store_backend_name);

using HostileText = ToolTest;

TEST_F(HostileText, ControlCharactersAreEscapedInTextOutputAndBadUtf8RefusedInJson) {
  const std::string red = "\x1b[31mred\nline\x7f";
  const std::string shown_red = R"(\x1b[31mred\nline\x7f)";
  const std::string next_line = "c\u0085";  // U+0085, a C1 control
  const auto engine = create_database("controls.db", "CREATE TABLE " + identifier(red) + " (" +
                                                         identifier(next_line) +
                                                         " TEXT); CREATE TABLE 表格 (x TEXT);");

  const auto saved = tool({"-v", "save", "--engine", engine_url(engine), "--store", store()});
  ASSERT_EQ(saved.status, 0) << saved.err;
  EXPECT_THAT(saved.err, HasSubstr("正在处理表: " + shown_red + "\n"));
  const auto tree = tool({"show", "--store", store()});
  EXPECT_THAT(tree.out, HasSubstr("  table " + shown_red + "\n"));
  EXPECT_THAT(tree.out, HasSubstr(R"(c\u0085  TEXT)"));
  EXPECT_THAT(tree.out, HasSubstr("  table 表格\n"));
  const auto refused = tool({"show", "--store", store(), "--schema", red});
  EXPECT_EQ(refused.err,
            "kelmarion-meta: error: schema '" + shown_red + "': not in store '" + store() + "'\n");
  execute(engine, "ALTER TABLE " + identifier(red) + " ADD COLUMN " + identifier(next_line + "2") +
                      " TEXT");
  const auto diff = tool({"diff", "--engine", engine_url(engine), "--store", store()});
  EXPECT_EQ(diff.status, 3) << diff.err;
  EXPECT_THAT(diff.out, HasSubstr("  + column " + shown_red + R"(.c\u00852)" + "\n"));
  const auto diff_json =
      tool({"diff", "--engine", engine_url(engine), "--store", store(), "--format", "json"});
  ASSERT_EQ(diff_json.status, 3) << diff_json.err;
  EXPECT_EQ(json::parse(diff_json.out)["changes"][0]["table"], red);
  for (const auto& run : {saved, tree, refused, diff}) {
    EXPECT_THAT(run.out + run.err, AllOf(Not(HasSubstr("\x1b")), Not(HasSubstr("\u0085"))));
  }

  // Replaced by U+FFFD in JSON, two such names would read back as one.
  execute(store(),
          "UPDATE source_table SET table_name = CAST(X'6162FF' AS TEXT) "
          "WHERE table_name = '表格'");
  EXPECT_THAT(tool({"show", "--store", store()}).out, HasSubstr(R"(  table ab\xff)"));
  const auto shown_json = tool({"show", "--store", store(), "--format", "json"});
  EXPECT_EQ(shown_json.status, 2);
  EXPECT_THAT(shown_json.out, IsEmpty());
  EXPECT_THAT(shown_json.err,
              AllOf(StartsWith("kelmarion-meta: error: document text at [0].tables["),
                    EndsWith(R"(].table_name is not valid UTF-8: 'ab\xff')"
                             "\n")));
  EXPECT_EQ(shown_json.err.find('\n'), shown_json.err.size() - 1);
}

}  // namespace
}  // namespace kelmarion::testing
