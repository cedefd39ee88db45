#include "kelmarion_meta/tools/source_store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelmarion_core/errors.h"
#include "kelmarion_meta/generate/entity_table/source_schema.h"
#include "kelmarion_meta/tools/source_inspect.h"
#include "support/store_fixture.h"

namespace kelmarion::testing {
namespace {

using meta::Document;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::ThrowsMessage;

// Answers every inspection of "fake:" engines with a one-table document named
// after the schema, records the calls, and knows no schema called "missing".
struct FakeEngine {
  static std::vector<std::string>& calls() {
    static std::vector<std::string> instance;
    return instance;
  }

  class Inspector final : public meta::SchemaInspector {
   public:
    explicit Inspector(std::string engine) : _engine(std::move(engine)) {}
    std::optional<Document> get_schema(const std::optional<std::string>& schema_name) override {
      calls().push_back(_engine + " " + schema_name.value_or("None"));
      if (schema_name == "missing") return std::nullopt;
      return Document{{"schema_name", schema_name.value_or("")},
                      {"tables", {{{"table_name", "t"},
                                   {"columns", Document::array()},
                                   {"foreign_keys", Document::array()},
                                   {"indexes", Document::array()}}}},
                      {"views", Document::array()}};
    }

   private:
    std::string _engine;
  };

  FakeEngine() {
    calls().clear();
    meta::register_inspector("fake", [](const std::string& engine) {
      return std::make_unique<Inspector>(engine);
    });
  }
};

TEST(SourceStoreConfig, DefaultStoreHasNothingSet) {
  const meta::SourceStore store;
  EXPECT_EQ(store.db(), nullptr);
  EXPECT_EQ(store.engine_name(), std::nullopt);
  EXPECT_EQ(store.schema_name(), std::nullopt);
  EXPECT_FALSE(store.auto_commit);
}

TEST(SourceStoreConfig, InspectKeepsStoredNamesUnlessGivenNonEmptyOnes) {
  const FakeEngine engine;
  meta::SourceStore store({.engine_name = "fake://one", .schema_name = "first"});

  auto document = store.inspect({.engine_name = "", .schema_name = "second"});
  ASSERT_TRUE(document);
  EXPECT_EQ(document->at("schema_name"), "second");
  EXPECT_EQ(store.inspect({.schema_name = "missing"}), std::nullopt);
  EXPECT_EQ(store.schema_name(), "missing");
  EXPECT_THAT(FakeEngine::calls(), ElementsAre("fake://one second", "fake://one missing"));
}

TEST(SourceStoreConfig, UnknownSchemeIsNamedWithoutThePassword) {
  meta::SourceStore store({.engine_name = "oracle://root:hunter2@db/x"});
  EXPECT_THAT([&] { (void)store.inspect(); },
              ThrowsMessage<core::ConfigurationError>(
                  AllOf(HasSubstr("oracle://root@db/x"), HasSubstr("unknown URL scheme 'oracle'"),
                        Not(HasSubstr("hunter2")))));
}

class SourceStoreSaveConfig : public StoreTest {};

TEST_P(SourceStoreSaveConfig, EmptyDocumentInspectsWithTheNamesJustGiven) {
  const FakeEngine engine;
  meta::SourceStore store({.engine_name = "fake://old", .schema_name = "old"});
  auto empty = std::make_shared<Document>(Document::object());

  const auto saved = run(store.save_meta(
      {.metadata = empty, .db = &session(), .engine_name = "fake://new", .schema_name = "sales"}));

  EXPECT_THAT(FakeEngine::calls(), ElementsAre("fake://new sales"));
  EXPECT_NE(saved.get(), empty.get());
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(saved->at("tables")[0].at("sort_order"), 10);
  EXPECT_EQ(store.db(), &session());
  EXPECT_EQ(count(meta::SourceSchema::record_class()), 1);

  run(store.save_meta());  // no arguments: the same names and session
  EXPECT_THAT(FakeEngine::calls(), ElementsAre("fake://new sales", "fake://new sales"));
  EXPECT_EQ(count(meta::SourceSchema::record_class()), 1);
}

TEST_P(SourceStoreSaveConfig, GivenDocumentIsSavedWithoutInspecting) {
  const FakeEngine engine;
  meta::SourceStore store({.db = &session(), .engine_name = "fake://e"});

  run(store.save_meta({.metadata = sales_document(), .schema_name = "sales"}));

  EXPECT_TRUE(FakeEngine::calls().empty());
  EXPECT_EQ(store.schema_name(), "sales");
}

TEST_P(SourceStoreSaveConfig, SchemaTheEngineDoesNotHaveFailsBeforeAnyWrite) {
  const FakeEngine engine;
  meta::SourceStore store({.db = &session(), .engine_name = "fake://e", .schema_name = "missing"});

  EXPECT_THAT([&] { run(store.save_meta()); },
              ThrowsMessage<core::DocumentError>("schema 'missing': not found by engine 'fake://e'"));
  EXPECT_EQ(count(meta::SourceSchema::record_class()), 0);
}

INSTANTIATE_TEST_SUITE_P(Stores, SourceStoreSaveConfig,
                         all_store_kinds(), store_kind_name);

}  // namespace
}  // namespace kelmarion::testing
