#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "apps/store_backend.h"
#include "apps/store_rows.h"

namespace kelmarion::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Lt;
using ::testing::SizeIs;
using ::testing::StartsWith;
using json = nlohmann::ordered_json;

const std::filesystem::path corpus_directory = KELMARION_CORPUS_DIR;

struct BadDocument {
  std::string file;     // under corpus/bad
  std::string message;  // "DOC" stands for "document '<path of the file>'"
};

// Every file of corpus/bad and what the tool must say about it. Each is
// corpus/valid.json broken in one place; the broken entry comes after entries
// the save writes, so a save that failed halfway would show in the store.
const std::vector<BadDocument> bad_documents = {
    {"column_is_a_list.json", "table 'orders', column #2: expected an object, got a list"},
    {"column_is_a_text.json", "table 'orders', column #2: expected an object, got a text"},
    {"column_missing_name.json", "table 'orders', column #2: missing required key 'name'"},
    {"column_name_null.json", "key 'name' of table 'orders', column #2: expected a text, got null"},
    {"column_name_number.json",
     "key 'name' of table 'orders', column #2: expected a text, got a number"},
    {"column_name_object.json",
     "key 'name' of table 'orders', column #2: expected a text, got an object"},
    {"foreign_key_is_a_list.json",
     "table 'orders', foreign key #1: expected an object, got a list"},
    {"foreign_key_is_null.json", "table 'orders', foreign key #1: expected an object, got null"},
    {"foreign_key_missing_constrained_columns.json",
     "table 'orders', foreign key 'orders_customer': missing required key 'constrained_columns'"},
    {"index_is_a_list.json", "table 'orders', index #1: expected an object, got a list"},
    {"index_is_a_number.json", "table 'customers', index #1: expected an object, got a number"},
    {"index_missing_column_names.json",
     "table 'orders', index 'orders_customer': missing required key 'column_names'"},
    {"index_missing_unique_beside_a_foreign_key.json",
     "table 'orders', index 'orders_customer': missing required key 'unique'"},
    {"json_control_character.json", "DOC: malformed JSON: parse error at line 1, column 69"},
    {"json_empty_file.json", "DOC: malformed JSON: parse error at line 1, column 1"},
    {"json_empty_object.json",
     "DOC: expected a schema object with 'tables' and 'views', got an empty object"},
    {"json_leading_zero.json", "DOC: malformed JSON: parse error at line 1, column 66"},
    {"json_nan.json", "DOC: malformed JSON: parse error at line 1, column 65"},
    {"json_null_document.json",
     "DOC: expected a schema object with 'tables' and 'views', got null"},
    {"json_only_whitespace.json", "DOC: malformed JSON: parse error at line 3, column 1"},
    {"json_single_quotes.json", "DOC: malformed JSON: parse error at line 1, column 2"},
    {"json_trailing_comma.json", "DOC: malformed JSON: parse error at line 4, column 1"},
    {"json_truncated.json", "DOC: malformed JSON: parse error at line 1, column 78"},
    {"json_two_documents.json", "DOC: malformed JSON: parse error at line 2, column 1"},
    {"json_unquoted_key.json", "DOC: malformed JSON: parse error at line 2, column 3"},
    {"primary_key_is_a_list.json",
     "key 'primary_key' of table 'orders': expected an object, got a list"},
    {"primary_key_is_a_text.json",
     "key 'primary_key' of table 'orders': expected an object, got a text"},
    {"schema_in_a_list.json",
     "DOC: expected a schema object with 'tables' and 'views', got a list"},
    {"schema_missing_schema_name.json", "DOC: no text 'schema_name'; give --schema"},
    {"schema_missing_tables.json", "schema 'corpus': missing required key 'tables'"},
    {"schema_missing_views.json", "schema 'corpus': missing required key 'views'"},
    {"schema_name_number.json", "DOC: no text 'schema_name'; give --schema"},
    {"schema_tables_null.json", "key 'tables' of schema 'corpus': expected a list, got null"},
    {"schema_tables_object.json",
     "key 'tables' of schema 'corpus': expected a list, got an object"},
    {"schema_tables_text.json", "key 'tables' of schema 'corpus': expected a list, got a text"},
    {"schema_views_null.json", "key 'views' of schema 'corpus': expected a list, got null"},
    {"schema_views_number.json", "key 'views' of schema 'corpus': expected a list, got a number"},
    {"schema_views_object.json", "key 'views' of schema 'corpus': expected a list, got an object"},
    {"table_columns_null.json", "key 'columns' of table 'orders': expected a list, got null"},
    {"table_columns_object.json",
     "key 'columns' of table 'orders': expected a list, got an object"},
    {"table_foreign_keys_null.json",
     "key 'foreign_keys' of table 'orders': expected a list, got null"},
    {"table_foreign_keys_object.json",
     "key 'foreign_keys' of table 'orders': expected a list, got an object"},
    {"table_indexes_null.json", "key 'indexes' of table 'orders': expected a list, got null"},
    {"table_indexes_object.json",
     "key 'indexes' of table 'orders': expected a list, got an object"},
    {"table_is_a_list.json", "table #2: expected an object, got a list"},
    {"table_is_a_text.json", "table #2: expected an object, got a text"},
    {"table_is_null.json", "table #2: expected an object, got null"},
    {"table_missing_columns.json", "table 'orders': missing required key 'columns'"},
    {"table_missing_foreign_keys.json", "table 'orders': missing required key 'foreign_keys'"},
    {"table_missing_indexes.json", "table 'orders': missing required key 'indexes'"},
    {"table_missing_table_name.json", "table #2: missing required key 'table_name'"},
    {"table_name_list.json", "key 'table_name' of table #2: expected a text, got a list"},
    {"table_name_null.json", "key 'table_name' of table #2: expected a text, got null"},
    {"table_name_number.json", "key 'table_name' of table #2: expected a text, got a number"},
    {"utf8_encoded_surrogate.json", "DOC: malformed JSON: parse error at line 1, column 56"},
    {"utf8_junk_after_document.json", "DOC: malformed JSON: parse error at line 1, column 70"},
    {"utf8_latin1_byte.json", "DOC: malformed JSON: parse error at line 1, column 58"},
    {"utf8_lone_surrogate_escape.json", "DOC: malformed JSON: parse error at line 1, column 60"},
    {"utf8_overlong.json", "DOC: malformed JSON: parse error at line 1, column 54"},
    {"utf8_truncated_sequence.json", "DOC: malformed JSON: parse error at line 1, column 62"},
    {"view_column_is_a_list.json", "view 'order_count', column #2: expected an object, got a list"},
    {"view_column_missing_name.json", "view 'order_count', column #2: missing required key 'name'"},
    {"view_column_name_number.json",
     "key 'name' of view 'order_count', column #2: expected a text, got a number"},
    {"view_columns_null.json", "key 'columns' of view 'order_count': expected a list, got null"},
    {"view_columns_object.json",
     "key 'columns' of view 'order_count': expected a list, got an object"},
    {"view_is_a_list.json", "view #1: expected an object, got a list"},
    {"view_missing_columns.json", "view 'order_count': missing required key 'columns'"},
    {"view_missing_view_name.json", "view #1: missing required key 'view_name'"},
    {"view_name_number.json", "key 'view_name' of view #1: expected a text, got a number"},
    {"view_name_object.json", "key 'view_name' of view #1: expected a text, got an object"},
};

class MalformedDocument : public StoreBackendTest {
 protected:
  // Saves corpus/valid.json into the store; expects success.
  void save_valid_document() {
    const auto run = tool({"save", "-q", "--document", (corpus_directory / "valid.json").string(),
                           "--store", store_url()});
    ASSERT_EQ(run.status, 0) << run.err;
  }

  // Saves the document in `path` (or standard input) and expects the one-line
  // refusal with status 2 that contains `message`.
  ToolRun expect_refused(const std::string& name, ToolCall call, const std::string& message) {
    auto run = tool(std::move(call));
    EXPECT_EQ(run.status, 2) << name << ": " << run.err;
    EXPECT_THAT(run.err, StartsWith("kelmarion-meta: error: ")) << name;
    EXPECT_THAT(run.err, HasSubstr(message)) << name;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << name << ": " << run.err;
    EXPECT_THAT(run.out, IsEmpty()) << name;
    return run;
  }

  ToolRun expect_refused(const std::string& name, const std::filesystem::path& document,
                         const std::string& message) {
    return expect_refused(
        name,
        ToolCall{.arguments = {"save", "--document", document.string(), "--store", store_url()}},
        message);
  }

  // A file in the test's directory holding `text`.
  std::filesystem::path write_file(const std::string& name, const std::string& text) {
    auto path = directory() / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
};

TEST_P(MalformedDocument, CorpusCoversEveryFileOfTheBadDirectory) {
  std::set<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(corpus_directory / "bad")) {
    files.insert(entry.path().filename().string());
  }
  std::set<std::string> listed;
  for (const auto& bad : bad_documents) listed.insert(bad.file);
  EXPECT_EQ(files, listed);
  EXPECT_THAT(bad_documents, SizeIs(::testing::Ge(40U)));
}

TEST_P(MalformedDocument, EachIsRefusedNamingKeyAndEntryAndTheStoreStaysAsItWas) {
  save_valid_document();
  const auto before = store_checksum(store_url());

  for (const auto& bad : bad_documents) {
    const auto path = corpus_directory / "bad" / bad.file;
    auto message = bad.message;
    if (message.starts_with("DOC")) {
      message.replace(0, 3, "document '" + path.string() + "'");
    }
    expect_refused(bad.file, path, message);
    EXPECT_EQ(store_checksum(store_url()), before) << bad.file;
  }
}

// A document of `tables` tables of `columns` columns each, names "table_N" and "column_N".
json generated_document(int tables, int columns) {
  json document{{"schema_name", "corpus"}, {"tables", json::array()}, {"views", json::array()}};
  for (int table = 1; table <= tables; ++table) {
    json entry{{"table_name", "table_" + std::to_string(table)},
               {"columns", json::array()},
               {"primary_key", nullptr},
               {"foreign_keys", json::array()},
               {"indexes", json::array()}};
    for (int column = 1; column <= columns; ++column) {
      entry["columns"].push_back(json{{"name", "column_" + std::to_string(column)},
                                      {"type", "TEXT"},
                                      {"nullable", true},
                                      {"default", nullptr},
                                      {"autoincrement", false},
                                      {"comment", "a column of a large generated document"}});
    }
    document["tables"].push_back(std::move(entry));
  }
  return document;
}

TEST_P(MalformedDocument, HugeLongAndDeepDocumentsAreRefusedAndTheStoreStaysAsItWas) {
  save_valid_document();
  const auto before = store_checksum(store_url());
  constexpr std::size_t ten_megabytes = 10U * 1024U * 1024U;
  constexpr int deep = 100000;

  // 10 MB of bytes after a plausible start: a block from a fixed seed, repeated,
  // which is cheaper to make than 10 MB of draws.
  std::mt19937 random(20240229U);
  std::string block;
  for (int i = 0; i < 64 * 1024; ++i) block += static_cast<char>(random() & 0xFFU);
  std::string junk = R"({"schema_name": "corpus", "tables": [)";
  while (junk.size() < ten_megabytes) junk += block;
  expect_refused("10 MB of junk", write_file("junk.json", junk),
                 "malformed JSON: parse error at line ");
  expect_refused(
      "10 MB of junk on standard input",
      ToolCall{.arguments = {"save", "--document", "-", "--store", store_url()}, .input = junk},
      "standard input: malformed JSON: parse error at line ");

  // A name that never ends: the parser reads all 2 MB of it, and the message
  // quotes only its start.
  for (auto& c : block) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
  std::string unterminated = R"({"schema_name": "corpus", "tables": [{"table_name": ")";
  const auto start = unterminated.size();
  while (unterminated.size() < ten_megabytes / 5) unterminated += block;
  const auto unterminated_run = expect_refused(
      "2 MB name without its closing quote", write_file("unterminated.json", unterminated),
      fmt::format("malformed JSON: parse error at line 1, column {}: ", unterminated.size() + 1));
  EXPECT_THAT(unterminated_run.err, SizeIs(Lt(400U)));
  EXPECT_THAT(unterminated_run.err, HasSubstr(unterminated.substr(start, 20)));

  // Well-formed and wrong only in its very last column.
  auto large = generated_document(40, 200);
  large["tables"].back()["columns"].back()["name"] = 200;
  expect_refused("1 MB document", write_file("large.json", large.dump()),
                 "key 'name' of table 'table_40', column #200: expected a text, got a number");

  // A megabyte-long name is cut short in the message.
  auto long_name = json::parse(std::ifstream(corpus_directory / "valid.json"));
  const std::string megabyte_name(1024U * 1024U, 'n');
  long_name["tables"][1]["table_name"] = megabyte_name;
  long_name["tables"][1].erase("columns");
  const auto long_name_run = expect_refused(
      "very long table name", write_file("long_name.json", long_name.dump()),
      "table '" + megabyte_name.substr(0, 77) + "...': missing required key 'columns'");
  EXPECT_THAT(long_name_run.err, SizeIs(Lt(300U)));

  auto long_view_name = json::parse(std::ifstream(corpus_directory / "valid.json"));
  long_view_name["views"][0]["view_name"] = megabyte_name;
  long_view_name["views"][0]["columns"] = nullptr;
  expect_refused(
      "very long view name", write_file("long_view_name.json", long_view_name.dump()),
      "key 'columns' of view '" + megabyte_name.substr(0, 77) + "...': expected a list, got null");

  // Deep nesting where the tables belong, and inside a value the store would keep.
  const auto deep_lists = write_file(
      "deep_lists.json", R"({"schema_name": "corpus", "tables": )" + std::string(deep, '[') +
                             std::string(deep, ']') + R"(, "views": []})");
  expect_refused("lists nested deep", deep_lists,
                 "lists and objects nested deeper than 100 levels (under key 'tables')");
  std::string deep_comment = R"({"schema_name": "corpus", "tables": [], "views": [], "comment": )";
  for (int level = 0; level < deep; ++level) deep_comment += R"({"c": )";
  deep_comment += "null" + std::string(deep, '}') + "}";
  expect_refused("objects nested deep", write_file("deep_comment.json", deep_comment),
                 "lists and objects nested deeper than 100 levels (under key 'c')");
  expect_refused("objects nested deep on standard input",
                 ToolCall{.arguments = {"save", "--document", "-", "--store", store_url()},
                          .input = deep_comment},
                 "standard input: lists and objects nested deeper than 100 levels");

  EXPECT_EQ(store_checksum(store_url()), before);
}

// Not malformed: an empty name is a legal SQLite identifier, and a document as
// deep as a real one is read.
TEST_P(MalformedDocument, EmptyNamesAndModestNestingAreStored) {
  auto document = json::parse(std::ifstream(corpus_directory / "valid.json"));
  document["tables"][0]["columns"][1]["name"] = "";
  json options = json::object();
  for (int level = 0; level < 50; ++level) options = json{{"level", std::move(options)}};
  document["tables"][1]["foreign_keys"][0]["options"] = options;
  const auto path = write_file("odd.json", document.dump());

  const auto run = tool({"save", "-q", "--document", path.string(), "--store", store_url()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(store_query(store_url(), "SELECT name FROM source_column WHERE name = ''"),
              SizeIs(1U));
  const auto stored = store_query(store_url(), "SELECT options FROM source_foreign_key");
  ASSERT_THAT(stored, SizeIs(1U));
  EXPECT_EQ(json::parse(stored.front()), options);
}

INSTANTIATE_TEST_SUITE_P(Stores, MalformedDocument, all_store_backends(), store_backend_name);

}  // namespace
}  // namespace kelmarion::testing
