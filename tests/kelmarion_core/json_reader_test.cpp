#include "kelmarion_core/json_reader.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../bench/generated_document.h"
#include "kelmarion_core/json_object.h"

namespace kelmarion::core {
namespace {

using Json = nlohmann::ordered_json;

Json read_text(const std::string& text, const JsonReadOptions& options = {}) {
  std::istringstream input(text);
  return read_json(input, options);
}

// What ordered_json::parse() throws for `text`, or "" when it reads it.
std::string parse_failure(const std::string& text) {
  try {
    std::istringstream input(text);
    const auto parsed = Json::parse(input);
    return parsed.is_discarded() ? "discarded" : "";
  } catch (const nlohmann::json::exception& error) {
    return error.what();
  }
}

std::string read_failure(const std::string& text) {
  try {
    const auto read = read_text(text);
    return read.is_discarded() ? "discarded" : "";
  } catch (const nlohmann::json::exception& error) {
    return error.what();
  }
}

TEST(JsonReader, ReadsWhatParseReadsKeyOrderNumberKindsAndRepeatedKeysIncluded) {
  const std::vector<std::string> texts = {
      R"({"b": 1, "a": [1, -2, 18446744073709551615, 1.5, 1e3, true, false, null]})",
      R"({"k": 1, "other": {"x": []}, "k": 2, "z": {}})",  // a repeated key
      R"([[], [[]], {"": ""}, "\u00e9\ud83d\ude00", "tab\there"])",
      R"("just a text")",
      "  42  ",
      R"({"tables": [{"table_name": "t", "columns": [{"name": "c"}], "indexes": []}]})",
  };
  for (const auto& text : texts) {
    const auto expected = Json::parse(text);
    const auto read = read_text(text);
    EXPECT_EQ(read.dump(), expected.dump()) << text;
    EXPECT_EQ(read, expected) << text;
  }
  const auto document = bench::generated_document(30);
  EXPECT_EQ(read_text(document.dump(2)), document);
}

TEST(JsonReader, MalformedTextFailsAsParseFails) {
  const std::vector<std::string> texts = {
      "",      "{",         R"({"a" 1})", R"({"a": 1,})", "[1, 2",        "\"unterminated",
      "1e999", "[1] [2]",   "nul",        "{\"a\": 01}",  "\"\xff\xfe\"", "// no comments\n{}",
      "-",     R"({1: 2})",
  };
  for (const auto& text : texts) {
    const auto expected = parse_failure(text);
    ASSERT_FALSE(expected.empty()) << text;
    EXPECT_EQ(read_failure(text), expected) << text;
  }
}

TEST(JsonReader, RefusesNestingDeeperThanTheLimitNamingTheLastKey) {
  std::string last_key = "not called";
  const JsonReadOptions options{.max_depth = 3, .too_deep = [&](const std::string& key) {
                                  last_key = key;
                                  throw std::invalid_argument("too deep");
                                }};
  EXPECT_EQ(read_text(R"({"a": {"b": [1]}})", options), Json::parse(R"({"a": {"b": [1]}})"));
  EXPECT_EQ(last_key, "not called");
  EXPECT_THROW((void)read_text(R"({"a": {"b": [{"c": 1}]}})", options), std::invalid_argument);
  EXPECT_EQ(last_key, "b");
  // Without a handler the read still stops.
  EXPECT_THROW((void)read_text(std::string(200, '['), {.max_depth = 100}), std::length_error);
}

TEST(JsonReader, LeavesRoomInObjectsThatHaveKeys) {
  const auto read = read_text(R"({"a": {"b": 1, "c": {}}, "d": []})", {.room_for_keys = 2});
  EXPECT_EQ(read.get_ref<const Json::object_t&>().capacity(), 4U);
  EXPECT_EQ(read["a"].get_ref<const Json::object_t&>().capacity(), 4U);
  EXPECT_EQ(read["a"]["c"].get_ref<const Json::object_t&>().capacity(), 0U);
}

TEST(JsonObject, MakeObjectKeepsOrderAndMovesTemporariesIn) {
  std::vector<std::string> names = {"a", "b"};
  auto list = Json::array({1, 2, 3});
  const auto* list_data = &list[0];
  const auto object = make_object("z", 1, "names", names, "list", std::move(list), "none", nullptr);
  EXPECT_EQ(object.dump(), R"({"z":1,"names":["a","b"],"list":[1,2,3],"none":null})");
  EXPECT_EQ(&object["list"][0], list_data);  // moved, not copied
}

TEST(JsonObject, ReserveKeysMakesRoomWithoutCopyingNestedValues) {
  auto table = Json::parse(R"({"table_name": "t", "columns": [{"name": "a"}, {"name": "b"}]})");
  const auto* first_column = &table["columns"][0];
  reserve_keys(table, {"table_name", "sort_order", "source_table_id"});
  EXPECT_GE(table.get_ref<Json::object_t&>().capacity(), 4U);
  EXPECT_EQ(&table["columns"][0], first_column);
  table["sort_order"] = 10;
  table["source_table_id"] = 7;
  // Adding the keys room was made for moves nothing either.
  EXPECT_EQ(&table["columns"][0], first_column);
  EXPECT_EQ(table.dump(),
            R"({"table_name":"t","columns":[{"name":"a"},{"name":"b"}],"sort_order":10,)"
            R"("source_table_id":7})");
}

}  // namespace
}  // namespace kelmarion::core
