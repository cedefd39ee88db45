#include "apps/stale_records.h"

#include <fmt/format.h>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "kelmarion_core/data_service.h"

namespace kelmarion::apps {
namespace {

// "a, b" for a list of names.
std::string names_of(const core::Record& record, std::string_view field) {
  const auto& names = record[field];
  if (!names.is_array()) return names.dump();
  std::string text;
  for (const auto& name : names) {
    if (!text.empty()) text += ", ";
    text += name.is_string() ? name.get<std::string>() : name.dump();
  }
  return text;
}

class StaleCollector {
 public:
  explicit StaleCollector(const core::AsyncSession::WriteLog& written) {
    for (const auto& [table, records] : written) {
      auto& ids = _written[table];
      ids.insert(records.inserted.begin(), records.inserted.end());
      ids.insert(records.updated.begin(), records.updated.end());
    }
  }

  // Notes `record` as stale when it was not written; `describe` is called only then.
  template <typename Describe>
  void check(const core::Record& record, Describe describe) {
    const auto table = std::string(record.record_class().table_name());
    const auto found = _written.find(table);
    if (found != _written.end() && found->second.contains(record.id())) return;
    _stale.push_back(StaleRecord{&record.record_class(), record.id(), describe()});
  }

  [[nodiscard]] std::vector<StaleRecord> take() { return std::move(_stale); }

 private:
  std::unordered_map<std::string, std::unordered_set<std::int64_t>> _written;
  std::vector<StaleRecord> _stale;
};

void check_table(StaleCollector& collector, const StoredTable& stored) {
  const auto table = text_of(stored.table, "table_name");
  collector.check(stored.table, [&] { return fmt::format("table '{}'", table); });
  for (const auto& column : stored.columns) {
    collector.check(column, [&] {
      return fmt::format("table '{}', column '{}'", table, text_of(column, "name"));
    });
  }
  for (const auto& key : stored.primary_keys) {
    collector.check(key, [&] {
      return fmt::format("table '{}', primary key ({})", table,
                         names_of(key, "constrained_columns"));
    });
  }
  for (const auto& key : stored.foreign_keys) {
    collector.check(key, [&] {
      return fmt::format("table '{}', foreign key ({})", table,
                         names_of(key, "constrained_columns"));
    });
  }
  for (const auto& index : stored.indexes) {
    collector.check(index, [&] {
      return fmt::format("table '{}', index '{}' ({})", table, text_of(index, "name"),
                         names_of(index, "column_names"));
    });
  }
}

}  // namespace

std::vector<StaleRecord> find_stale_records(const StoredSchema& schema,
                                            const core::AsyncSession::WriteLog& written) {
  StaleCollector collector(written);
  collector.check(schema.schema, [&] {
    return fmt::format("schema '{}'", text_of(schema.schema, "schema_name"));
  });
  for (const auto& table : schema.tables) check_table(collector, table);
  for (const auto& stored : schema.views) {
    const auto view = text_of(stored.view, "view_name");
    collector.check(stored.view, [&] { return fmt::format("view '{}'", view); });
    for (const auto& column : stored.columns) {
      collector.check(column, [&] {
        return fmt::format("view '{}', column '{}'", view, text_of(column, "name"));
      });
    }
  }
  for (const auto& key : schema.referencing_foreign_keys) {
    collector.check(key, [&] {
      return fmt::format("reference from '{}' ({}) to '{}'", text_of(key, "constrained_table"),
                         names_of(key, "constrained_columns"), text_of(key, "referred_table"));
    });
  }
  return collector.take();
}

asio::awaitable<void> delete_records(core::AsyncSession& session,
                                     std::vector<StaleRecord> records) {
  for (const auto& record : records) {
    co_await core::DataService::db_delete(&session, record.id, *record.record_class);
  }
}

}  // namespace kelmarion::apps
