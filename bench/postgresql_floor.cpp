#include "postgresql_floor.h"

#include <fmt/format.h>
#include <libpq-fe.h>

#include <array>
#include <charconv>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "floor_records.h"

namespace kelmarion::bench {
namespace {

struct Clearer {
  void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, Clearer>;

Result checked(PGconn* connection, PGresult* raw, std::string_view sql) {
  Result result(raw);
  const auto status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error(
        fmt::format("PostgreSQL floor: {} in SQL: {}", PQerrorMessage(connection), sql));
  }
  return result;
}

void execute(PGconn* connection, const std::string& sql) {
  checked(connection, PQexec(connection, sql.c_str()), sql);
}

// The text form of up to 16 parameters; integers are written into fixed
// buffers.
class Parameters {
 public:
  void clear() { _count = 0; }

  void add(const FloorValue& value) {
    const char* text = nullptr;
    switch (value.kind) {
      case FloorValue::Kind::null:
        break;
      case FloorValue::Kind::boolean:
        text = value.integer != 0 ? "true" : "false";
        break;
      case FloorValue::Kind::integer: {
        auto& buffer = _integers.at(_count);
        *std::to_chars(buffer.data(), buffer.data() + buffer.size() - 1, value.integer).ptr = '\0';
        text = buffer.data();
        break;
      }
      case FloorValue::Kind::text:
        text = value.text.data();  // the whole of a string: NUL-terminated
        break;
    }
    _values.at(_count++) = text;
  }

  [[nodiscard]] int count() const noexcept { return static_cast<int>(_count); }
  [[nodiscard]] const char* const* values() const noexcept { return _values.data(); }

 private:
  static constexpr std::size_t capacity = 16;
  std::size_t _count = 0;
  std::array<const char*, capacity> _values{};
  std::array<std::array<char, 24>, capacity> _integers{};
};

}  // namespace

// The prepared statements of every record table, named floor_<table>_<kind>.
class PostgresqlFloor::Statements final : public FloorStore {
 public:
  explicit Statements(PGconn* connection) : _connection(connection) {
    for (std::size_t t = 0; t < floor_table_count; ++t) {
      auto sql = floor_sql(floor_layout(static_cast<FloorTable>(t)), '$');
      auto& names = _names.at(t);
      names = {fmt::format("floor_{}_lookup", t), fmt::format("floor_{}_insert", t),
               fmt::format("floor_{}_update", t)};
      _prepare(names[0], sql.lookup);
      _prepare(names[1], sql.insert);
      _prepare(names[2], sql.update);
    }
  }

  std::int64_t save(FloorTable table, std::span<const FloorValue> values) override {
    const auto& layout = floor_layout(table);
    const auto& names = _names.at(static_cast<std::size_t>(table));
    _parameters.clear();
    for (const auto position : layout.lookup) _parameters.add(values[position]);
    const auto found = checked(_connection,
                               PQexecPrepared(_connection, names[0].c_str(), _parameters.count(),
                                              _parameters.values(), nullptr, nullptr, 0),
                               names[0]);
    _parameters.clear();
    for (const auto& value : values) _parameters.add(value);
    if (PQntuples(found.get()) > 0) {
      const std::int64_t id = std::strtoll(PQgetvalue(found.get(), 0, 0), nullptr, 10);
      _parameters.add({FloorValue::Kind::integer, id, {}});
      checked(_connection,
              PQexecPrepared(_connection, names[2].c_str(), _parameters.count(),
                             _parameters.values(), nullptr, nullptr, 0),
              names[2]);
      return id;
    }
    const auto inserted = checked(_connection,
                                  PQexecPrepared(_connection, names[1].c_str(), _parameters.count(),
                                                 _parameters.values(), nullptr, nullptr, 0),
                                  names[1]);
    return std::strtoll(PQgetvalue(inserted.get(), 0, 0), nullptr, 10);
  }

 private:
  void _prepare(const std::string& name, const std::string& sql) {
    checked(_connection, PQprepare(_connection, name.c_str(), sql.c_str(), 0, nullptr), sql);
  }

  PGconn* _connection;
  std::array<std::array<std::string, 3>, floor_table_count> _names;
  Parameters _parameters;
};

PostgresqlFloor::PostgresqlFloor(pg_conn* connection) : _connection(connection) {}

PostgresqlFloor::~PostgresqlFloor() = default;

void PostgresqlFloor::save(const nlohmann::ordered_json& document) {
  execute(_connection, "BEGIN");
  try {
    // Like our sessions, the tables are created (when missing) once per
    // connection.
    if (!_statements) {
      // One script, one round trip.
      std::string script;
      for (const auto& sql : store_ddl(core::detail::Dialect::postgresql)) script += sql + ";\n";
      execute(_connection, script);
      _statements = std::make_unique<Statements>(_connection);
    }
    floor_save(*_statements, document, bench_schema_name, bench_engine_name);
    execute(_connection, "COMMIT");
  } catch (...) {
    PQclear(PQexec(_connection, "ROLLBACK"));  // the failure is what matters
    throw;
  }
}

}  // namespace kelmarion::bench
