#include "kelmarion_core/record.h"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kelmarion_core/errors.h"
#include "kelmarion_meta/generate/entity_table/source_column.h"
#include "kelmarion_meta/generate/entity_table/source_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_index.h"
#include "kelmarion_meta/generate/entity_table/source_primary_key.h"
#include "kelmarion_meta/generate/entity_table/source_referencing_foreign_key.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/generate/entity_table/source_view.h"

namespace kelmarion::core {
namespace {

using Json = nlohmann::ordered_json;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

TEST(RecordClassFieldIndex, FindsEveryFieldOfEveryRecordClassAndNothingElse) {
  const std::vector<const RecordClass*> classes = {
      &meta::SourceSchema::record_class(),     &meta::SourceTable::record_class(),
      &meta::SourceView::record_class(),       &meta::SourceColumn::record_class(),
      &meta::SourcePrimaryKey::record_class(), &meta::SourceForeignKey::record_class(),
      &meta::SourceIndex::record_class(),      &meta::SourceReferencingForeignKey::record_class()};
  for (const auto* record_class : classes) {
    SCOPED_TRACE(std::string(record_class->table_name()));
    const auto fields = record_class->fields();
    for (std::size_t i = 0; i < fields.size(); ++i) {
      EXPECT_EQ(record_class->field_index(fields[i].name), i) << fields[i].name;
      // Near misses: a prefix, a longer name, another case.
      const std::string name(fields[i].name);
      EXPECT_FALSE(record_class->field_index(name.substr(0, name.size() - 1)));
      EXPECT_FALSE(record_class->field_index(name + "s"));
      EXPECT_FALSE(record_class->field_index(std::string(1, 'X') + name.substr(1)));
    }
    // The keys of a document entry that are not fields.
    for (const std::string key : {"", "columns", "indexes", "foreign_keys", "views", "tables"}) {
      EXPECT_FALSE(record_class->field_index(key)) << key;
    }
  }
}

TEST(RecordClassFieldIndex, ManyFieldsWhoseNamesCollideStillResolve) {
  // Same length and same first, middle and last characters: one hash slot.
  std::vector<std::string> names = {"id"};
  for (char c = 'a'; c <= 'z'; ++c) names.push_back(std::string("f") + c + "x" + c + "z");
  std::vector<FieldSpec> fields;
  for (const auto& name : names) fields.push_back({name, FieldKind::integer});
  const RecordClass record_class("colliding", fields, {});
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(record_class.field_index(names[i]), i);
  EXPECT_FALSE(record_class.field_index("fAxAz"));
}

TEST(RecordClassDefinition, MoreFieldsThanAWriteCanNameAreRefused) {
  std::vector<FieldSpec> fields{{"id", FieldKind::integer}};
  std::vector<std::string> names;
  for (std::size_t i = 1; i < RecordClass::max_fields; ++i) names.push_back(fmt::format("f{}", i));
  for (const auto& name : names) fields.push_back({name, FieldKind::text});
  EXPECT_NO_THROW(RecordClass("widest", fields, {}));
  fields.push_back({"one_too_many", FieldKind::text});
  EXPECT_THAT([&] { RecordClass("too_wide", fields, {}); },
              ThrowsMessage<Error>(HasSubstr("record class 'too_wide': 65 fields")));
}

TEST(RecordFromImage, ReadsEachCellAsItsFieldsKindWouldBeRead) {
  const auto& record_class = meta::SourceForeignKey::record_class();
  const auto index = [&](std::string_view name) { return *record_class.field_index(name); };
  RowImage image(record_class.fields().size());
  image.set_integer(0, 41);
  image.set_text(index("name"), "fk_orders");
  image.set_integer(index("unique"), 2);                         // boolean: non-zero is true
  image.set_text(index("constrained_columns"), R"(["a","b"])");  // json: parsed
  image.set_text(index("options"), "{not json");                 // kept as text, not lost
  image.set_text(index("referred_table"), "");                   // empty text is not NULL

  const Record record(record_class, image);
  EXPECT_EQ(record.id(), 41);
  EXPECT_EQ(record["name"], "fk_orders");
  EXPECT_EQ(record["unique"], true);
  EXPECT_EQ(record["constrained_columns"], Json::array({"a", "b"}));
  EXPECT_EQ(record["options"], "{not json");
  EXPECT_EQ(record["referred_table"], "");
  EXPECT_TRUE(record["referred_schema"].is_null());
  EXPECT_EQ(record.image()->text(index("name")), "fk_orders");

  const auto dump = record.model_dump();
  ASSERT_EQ(dump.size(), record_class.fields().size());
  for (const auto& field : record_class.fields())
    EXPECT_EQ(dump.at(std::string(field.name)), record[field.name]);

  // A copied image reads the same, and so does one whose texts outgrew the image.
  RowImage copied = image;
  EXPECT_EQ(Record(record_class, copied).model_dump(), dump);
  RowImage long_texts(record_class.fields().size());
  const std::string long_name(300, 'n');
  long_texts.set_text(index("name"), "short");
  long_texts.set_text(index("referred_table"), long_name);
  long_texts.set_text(index("constrained_columns"), R"(["a","b"])");
  long_texts.set_integer(0, 42);  // a cell set after the texts keeps them
  const Record long_record(record_class, long_texts);
  EXPECT_EQ(long_record.id(), 42);
  EXPECT_EQ(long_record["name"], "short");
  EXPECT_EQ(long_record["referred_table"], long_name);
  EXPECT_EQ(long_record["constrained_columns"], Json::array({"a", "b"}));

  // An image nothing was written to reads as all NULL, copied or not.
  RowImage untouched(record_class.fields().size());
  untouched.set_null(index("name"));
  const RowImage untouched_copy = untouched;
  EXPECT_EQ(untouched_copy.kind(index("name")), RowImage::CellKind::null);
  EXPECT_TRUE(Record(record_class, untouched_copy)["name"].is_null());
}

TEST(RecordFromImage, CopiesReadOnFourThreadsShareOneSetOfValues) {
  const auto& record_class = meta::SourceIndex::record_class();
  RowImage image(record_class.fields().size());
  image.set_integer(0, 1);
  image.set_text(*record_class.field_index("column_names"), R"(["x"])");
  const Record record(record_class, std::move(image));
  std::vector<const Json*> seen(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([&, t, copy = record] { seen[t] = &copy["column_names"]; });
  }
  for (auto& thread : threads) thread.join();
  for (const auto* value : seen) EXPECT_EQ(value, &record["column_names"]);
  EXPECT_EQ(record["column_names"], Json::array({"x"}));
}

// A json field a store row holds may nest arbitrarily deep; reading one deeper
// than the limit must fail cleanly, every time, and not overflow the stack.
TEST(RecordFromImage, JsonNestedDeeperThanTheLimitFailsEveryReadNamingItsCell) {
  const auto& record_class = meta::SourceIndex::record_class();
  const auto field = *record_class.field_index("column_names");
  const auto nested = [](int depth, std::string_view open, std::string_view inner,
                         std::string_view close) {
    std::string text;
    for (int level = 0; level < depth; ++level) text += open;
    text += inner;
    for (int level = 0; level < depth; ++level) text += close;
    return text;
  };
  // At depth 99, texts holding brackets after an escaped quote and an escaped backslash.
  const auto brackets_in_texts = nested(98, "[", R"(["\"[[", "\\", "[["])", "]");
  struct Case {
    std::string name;
    std::string text;
    std::optional<std::int64_t> id;
    std::string error;  // empty: the value reads
  };
  const std::vector<Case> cases = {
      {"100 lists", nested(100, "[", "1", "]"), 7, ""},
      {"100 objects spaced", nested(100, R"({ "a" : )", "null", " }"), 7, ""},
      {"brackets inside texts", brackets_in_texts, 7, ""},
      {"101 lists", nested(101, "[", "", "]"), 7,
       "table 'source_index', record 7, field 'column_names': "
       "JSON nested deeper than 100 levels"},
      {"50000 objects", nested(50000, R"({"a":)", "1", "}"), 8,
       "table 'source_index', record 8, field 'column_names': "
       "JSON nested deeper than 100 levels"},
      {"50000 lists spaced", nested(50000, "[ ", "", " ]"), 9,
       "record 9, field 'column_names': JSON nested deeper"},
      {"no identifier", nested(101, "[", "", "]"), std::nullopt,
       "table 'source_index', field 'column_names': JSON nested deeper than 100 levels"},
  };
  for (const auto& [name, text, id, error] : cases) {
    SCOPED_TRACE(name);
    RowImage image(record_class.fields().size());
    if (id) image.set_integer(0, *id);
    image.set_text(*record_class.field_index("name"), "ix");
    image.set_text(field, text);
    const Record record(record_class, std::move(image));
    if (error.empty()) {
      EXPECT_EQ(record["column_names"], Json::parse(text));
      continue;
    }
    // A failed read leaves nothing half made: the next one fails the same way.
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_THAT([&] { (void)record["column_names"]; },
                  ThrowsMessage<DatabaseError>(::testing::HasSubstr(error)));
    }
    EXPECT_THAT([&] { (void)record.model_dump(); },
                ThrowsMessage<DatabaseError>(::testing::HasSubstr(error)));
  }
}

}  // namespace
}  // namespace kelmarion::core
