#include "kelmarion_core/record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(RecordValues, CopiesShareValuesAndTakingThemLeavesOtherCopiesWhole) {
  const auto& record_class = meta::SourcePrimaryKey::record_class();
  std::vector<Json> values(record_class.fields().size());
  values[0] = 7;
  values[1] = "pk_orders";
  const Record record(record_class, values);
  Record copy = record;
  EXPECT_EQ(&copy[record_class.fields()[1].name], &record[record_class.fields()[1].name]);

  auto taken = std::move(copy).take_values();  // shared: a copy is handed over
  taken[1] = "changed";
  EXPECT_EQ(record[record_class.fields()[1].name], "pk_orders");
  EXPECT_EQ(record.id(), 7);

  Record alone(record_class, values);
  const auto* held = &alone[record_class.fields()[1].name];
  auto moved = std::move(alone).take_values();  // not shared: handed over as it is
  EXPECT_EQ(&moved[1], held);
}

}  // namespace
}  // namespace kelmarion::core
