// The transaction mirror compares the cells of row images with the values a
// lookup asks for, and hashes both to find candidates. It must answer exactly
// as comparing JSON values does, whichever form a record is kept in.

#include "kelmarion_core/detail/transaction_mirror.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kelmarion::core::detail {
namespace {

using Json = nlohmann::ordered_json;

const RecordClass& parents() {
  static const RecordClass record_class("mirror_parent", {{"id", FieldKind::integer}}, {});
  return record_class;
}

const RecordClass& children() {
  static const RecordClass record_class(
      "mirror_child",
      {{"id", FieldKind::integer},
       {"parent_id", FieldKind::integer},
       {"name", FieldKind::text},
       {"flag", FieldKind::boolean},
       {"size", FieldKind::integer},
       {"columns", FieldKind::json}},
      {{{"parent_id", "name"}, true}, {{"parent_id", "columns"}, false}},
      {{"parent_id", "mirror_parent"}});
  return record_class;
}

Predicate term(std::string_view field, Json value) {
  const auto kind = children().fields()[*children().field_index(field)].kind;
  return {children().table_name(), field, kind, std::move(value)};
}

// A child as the backends keep it (a row image, json fields as their text) or
// as JSON values.
Record child(bool as_image, std::int64_t id, const Json& name, const Json& flag, const Json& size,
             const Json& columns) {
  const std::vector<Json> values{id, 1, name, flag, size, columns};
  if (!as_image) return {children(), std::vector<Json>(values)};
  return Record::from_image(children(), [&](RowImage& image) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      const auto& value = values[i];
      if (value.is_null()) continue;
      if (children().fields()[i].kind == FieldKind::json) {
        image.set_text(i, value.dump());
      } else if (value.is_string()) {
        image.set_text(i, value.get_ref<const std::string&>());
      } else {
        image.set_integer(
            i, value.is_boolean() ? (value.get<bool>() ? 1 : 0) : value.get<std::int64_t>());
      }
    }
  });
}

// A mirror that knows every child of parent 1, created in the transaction.
class TransactionMirrorTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    mirror.note_created(Record(parents(), std::vector<Json>{1}));
    mirror.note_stored_children(set, false);
    ASSERT_TRUE(mirror.knows(set));
  }

  TransactionMirror mirror;
  const TransactionMirror::ChildSet set{&children(), 1, 1};
};

TEST_P(TransactionMirrorTest, LookupsFindWhatComparingJsonValuesFinds) {
  const std::vector<Record> records{
      child(GetParam(), 10, "a", true, 5, Json::array({"x", "y"})),
      child(GetParam(), 11, "b", false, nullptr, Json::object({{"k", 1}})),
      child(GetParam(), 12, "", nullptr, -7, nullptr),
      child(GetParam(), 13, "5", true, 0, "text"),
  };
  for (const auto& record : records) mirror.note_created(record);

  // Each lookup, by the link and one more field, against every value form.
  const std::vector<std::pair<std::string_view, std::vector<Json>>> asked{
      {"name", {"a", "b", "", "5", "c", nullptr, 5}},
      {"flag", {true, false, nullptr, 1, 0}},
      {"size", {5, 5U, 5.0, -7, -7.0, 0, nullptr, "5", false, 5.5}},
      {"columns",
       {Json::array({"x", "y"}), Json::array({"y", "x"}), Json::object({{"k", 1}}), "text", nullptr,
        Json::array()}},
  };
  for (const auto& [field, values] : asked) {
    const auto position = *children().field_index(field);
    for (const auto& value : values) {
      SCOPED_TRACE(std::string(field) + " = " + value.dump());
      const Condition condition{term("parent_id", 1), term(field, value)};
      const auto found = mirror.matches(set, condition, {Json(1), value}, false);
      std::vector<std::int64_t> expected;
      for (const auto& record : records) {
        if (record[children().fields()[position].name] == value) expected.push_back(record.id());
      }
      std::vector<std::int64_t> ids;
      for (const auto& record : found) ids.push_back(record.id());
      EXPECT_EQ(ids, expected);
    }
  }
}

TEST_P(TransactionMirrorTest, UniqueIndexesSeeClashesInEitherForm) {
  mirror.note_created(child(GetParam(), 10, "a", true, 5, nullptr));

  // The same name under the same parent clashes, whatever form either is in.
  EXPECT_FALSE(mirror.keeps_unique(child(!GetParam(), 11, "a", false, 1, nullptr)));
  EXPECT_FALSE(mirror.keeps_unique(child(GetParam(), 11, "a", false, 1, nullptr)));
  EXPECT_TRUE(mirror.keeps_unique(child(!GetParam(), 11, "b", true, 5, nullptr)));
  // A record may keep its own name; a NULL never clashes.
  EXPECT_TRUE(mirror.keeps_unique(child(!GetParam(), 10, "a", false, 2, nullptr)));
  EXPECT_TRUE(mirror.keeps_unique(child(!GetParam(), 11, nullptr, false, 2, nullptr)));
}

INSTANTIATE_TEST_SUITE_P(Forms, TransactionMirrorTest, ::testing::Bool(),
                         [](const auto& param_info) {
                           return param_info.param ? "RowImages" : "JsonValues";
                         });

}  // namespace
}  // namespace kelmarion::core::detail
