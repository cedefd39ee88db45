#include "kelmarion_meta/tools/detail/postgresql_inspector.h"

#include <fmt/format.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/json_object.h"
#include "kelmarion_meta/tools/detail/builtin_inspectors.h"

namespace kelmarion::meta::detail {
namespace {

using nlohmann::ordered_json;

// ---- the catalog queries: a fixed set, whatever the size of the schema ----

constexpr std::string_view schema_query = R"sql(
SELECT n.oid, d.description
FROM pg_catalog.pg_namespace n
LEFT JOIN pg_catalog.pg_description d
  ON d.objoid = n.oid AND d.classoid = 'pg_catalog.pg_namespace'::pg_catalog.regclass
  AND d.objsubid = 0
WHERE n.nspname = $1)sql";

constexpr std::string_view relations_query = R"sql(
SELECT c.oid, c.relname, c.relkind, d.description,
  CASE WHEN c.relkind IN ('v', 'm') THEN pg_catalog.pg_get_viewdef(c.oid, true) END
FROM pg_catalog.pg_class c
LEFT JOIN pg_catalog.pg_description d
  ON d.objoid = c.oid AND d.classoid = 'pg_catalog.pg_class'::pg_catalog.regclass
  AND d.objsubid = 0
WHERE c.relnamespace = $1::pg_catalog.oid AND c.relkind IN ('r', 'p', 'v', 'm')
  AND NOT c.relispartition
ORDER BY c.relname COLLATE "C")sql";

constexpr std::string_view columns_query = R"sql(
SELECT a.attrelid, a.attname, pg_catalog.format_type(a.atttypid, a.atttypmod), a.attnotnull,
  pg_catalog.pg_get_expr(ad.adbin, ad.adrelid), a.attidentity, a.attgenerated, d.description
FROM pg_catalog.pg_attribute a
JOIN pg_catalog.pg_class c ON c.oid = a.attrelid
LEFT JOIN pg_catalog.pg_attrdef ad ON ad.adrelid = a.attrelid AND ad.adnum = a.attnum
LEFT JOIN pg_catalog.pg_description d
  ON d.objoid = a.attrelid AND d.classoid = 'pg_catalog.pg_class'::pg_catalog.regclass
  AND d.objsubid = a.attnum
WHERE c.relnamespace = $1::pg_catalog.oid AND c.relkind IN ('r', 'p', 'v', 'm')
  AND NOT c.relispartition AND a.attnum > 0 AND NOT a.attisdropped
ORDER BY a.attrelid, a.attnum)sql";

// Keys referring to a partitioned table also get one clone per partition of the
// referred table (conparentid set); only the key as declared is reported.
constexpr std::string_view constraints_query = R"sql(
SELECT con.conrelid, con.conname, con.contype,
  (SELECT pg_catalog.json_agg(a.attname ORDER BY k.ord)
   FROM pg_catalog.unnest(con.conkey) WITH ORDINALITY AS k(attnum, ord)
   JOIN pg_catalog.pg_attribute a ON a.attrelid = con.conrelid AND a.attnum = k.attnum),
  fn.nspname, fc.relname,
  (SELECT pg_catalog.json_agg(a.attname ORDER BY k.ord)
   FROM pg_catalog.unnest(con.confkey) WITH ORDINALITY AS k(attnum, ord)
   JOIN pg_catalog.pg_attribute a ON a.attrelid = con.confrelid AND a.attnum = k.attnum),
  con.confupdtype, con.confdeltype, con.confmatchtype, con.condeferrable, con.condeferred
FROM pg_catalog.pg_constraint con
JOIN pg_catalog.pg_class c ON c.oid = con.conrelid
LEFT JOIN pg_catalog.pg_class fc ON fc.oid = con.confrelid
LEFT JOIN pg_catalog.pg_namespace fn ON fn.oid = fc.relnamespace
WHERE c.relnamespace = $1::pg_catalog.oid AND c.relkind IN ('r', 'p') AND NOT c.relispartition
  AND con.contype IN ('p', 'f') AND con.conparentid = 0
ORDER BY con.conrelid, con.conname COLLATE "C")sql";

// Each key element as [column name, expression]: a plain column has no
// expression, an expression element (indkey 0) no column.
constexpr std::string_view indexes_query = R"sql(
SELECT i.indrelid, ic.relname, i.indisunique, pg_catalog.pg_get_expr(i.indpred, i.indrelid),
  (SELECT pg_catalog.json_agg(pg_catalog.json_build_array(a.attname,
     CASE WHEN k.attnum = 0 THEN pg_catalog.pg_get_indexdef(i.indexrelid, k.ord::integer, true) END)
     ORDER BY k.ord)
   FROM pg_catalog.unnest(i.indkey::pg_catalog.int2[]) WITH ORDINALITY AS k(attnum, ord)
   LEFT JOIN pg_catalog.pg_attribute a ON a.attrelid = i.indrelid AND a.attnum = k.attnum
   WHERE k.ord <= i.indnkeyatts)
FROM pg_catalog.pg_index i
JOIN pg_catalog.pg_class c ON c.oid = i.indrelid
JOIN pg_catalog.pg_class ic ON ic.oid = i.indexrelid
WHERE c.relnamespace = $1::pg_catalog.oid AND c.relkind IN ('r', 'p') AND NOT c.relispartition
  AND NOT i.indisprimary
ORDER BY i.indrelid, ic.relname COLLATE "C")sql";

// ---- talking to libpq ----

struct ResultClearer {
  void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

// libpq's messages span lines ("...failed: ...\n\tIs the server running...");
// an error's what() is one line.
std::string one_line(std::string_view message) {
  std::string line;
  bool pending_space = false;
  for (const char c : message) {
    if (c == '\n' || c == '\r' || c == '\t') {
      pending_space = !line.empty();
      continue;
    }
    if (pending_space && c != ' ') line += ' ';
    pending_space = false;
    line += c;
  }
  return line;
}

// Takes ownership of a result and throws a DatabaseError (SQLSTATE, server
// message, SQL) unless the statement succeeded.
Result check(PGconn* connection, PGresult* raw, std::string_view sql,
             std::string_view engine_name) {
  Result result(raw);
  const auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
  const char* primary =
      result ? PQresultErrorField(result.get(), PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  const std::string message =
      one_line(primary != nullptr
                   ? primary
                   : (result ? PQresultErrorMessage(result.get()) : PQerrorMessage(connection)));
  const char* sqlstate = result ? PQresultErrorField(result.get(), PG_DIAG_SQLSTATE) : nullptr;
  std::string code = sqlstate != nullptr ? sqlstate : "";
  auto what = fmt::format("engine '{}': catalog query failed{}: {}", engine_name,
                          code.empty() ? "" : fmt::format(" ({})", code), message);
  throw core::DatabaseError(std::move(what), std::move(code), message, std::string(sql));
}

std::string text(const PGresult* result, int row, int column) {
  return {PQgetvalue(result, row, column),
          static_cast<std::size_t>(PQgetlength(result, row, column))};
}

// A view's query without the layout pg_get_viewdef adds around it: the leading
// blank and the closing semicolon.
ordered_json view_definition(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column) != 0) return nullptr;
  std::string_view query(PQgetvalue(result, row, column));
  const auto first = query.find_first_not_of(" \t\n");
  const auto last = query.find_last_not_of(" \t\n;");
  if (first == std::string_view::npos || last == std::string_view::npos) return "";
  return std::string(query.substr(first, last - first + 1));
}

ordered_json nullable_text(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column) != 0) return nullptr;
  return text(result, row, column);
}

bool flag(const PGresult* result, int row, int column) {
  return PQgetvalue(result, row, column)[0] == 't';
}

// A JSON value the server built (json_agg); SQL NULL, from an empty aggregate, is [].
ordered_json json_value(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column) != 0) return ordered_json::array();
  return ordered_json::parse(text(result, row, column));
}

std::string foreign_key_action(char code) {
  switch (code) {
    case 'r':
      return "RESTRICT";
    case 'c':
      return "CASCADE";
    case 'n':
      return "SET NULL";
    case 'd':
      return "SET DEFAULT";
    default:
      return {};  // 'a': NO ACTION, the default, left out
  }
}

// ---- building the document ----

struct Relation {
  ordered_json document;
  bool is_view = false;
};

class SchemaReader {
 public:
  SchemaReader(PGconn* connection, std::string_view engine_name, int& query_count)
      : _connection(connection), _engine_name(engine_name), _query_count(query_count) {}

  std::optional<ordered_json> read(const std::string& schema_name) {
    run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY", {});
    const auto schema = run(schema_query, {schema_name});
    if (PQntuples(schema.get()) == 0) {
      run("COMMIT", {});
      return std::nullopt;
    }
    const auto schema_oid = text(schema.get(), 0, 0);
    read_relations(schema_oid);
    read_columns(schema_oid);
    read_constraints(schema_oid);
    read_indexes(schema_oid);
    run("COMMIT", {});

    auto tables = ordered_json::array();
    auto views = ordered_json::array();
    for (auto& relation : _relations) {
      (relation.is_view ? views : tables).push_back(std::move(relation.document));
    }
    return core::make_object("schema_name", schema_name, "tables", std::move(tables), "views",
                             std::move(views), "comment", nullable_text(schema.get(), 0, 1));
  }

 private:
  Result run(std::string_view sql, std::initializer_list<std::string_view> parameters) {
    ++_query_count;
    const std::string statement(sql);
    std::vector<std::string> values(parameters.begin(), parameters.end());
    std::vector<const char*> pointers;
    pointers.reserve(values.size());
    for (const auto& value : values) pointers.push_back(value.c_str());
    return check(_connection,
                 PQexecParams(_connection, statement.c_str(), static_cast<int>(pointers.size()),
                              nullptr, pointers.data(), nullptr, nullptr, 0),
                 sql, _engine_name);
  }

  // The relation a catalog row belongs to, by its oid; nullptr for relations the
  // document leaves out.
  ordered_json* relation(const PGresult* result, int row) {
    const auto found = _by_oid.find(text(result, row, 0));
    return found == _by_oid.end() ? nullptr : &_relations[found->second].document;
  }

  void read_relations(const std::string& schema_oid) {
    const auto result = run(relations_query, {schema_oid});
    const auto* rows = result.get();
    for (int row = 0; row < PQntuples(rows); ++row) {
      const char kind = PQgetvalue(rows, row, 2)[0];
      Relation entry;
      entry.is_view = kind == 'v' || kind == 'm';
      if (entry.is_view) {
        entry.document = core::make_object(
            "view_name", text(rows, row, 1), "definition", view_definition(rows, row, 4), "comment",
            nullable_text(rows, row, 3), "columns", ordered_json::array());
      } else {
        entry.document = core::make_object(
            "table_name", text(rows, row, 1), "comment", nullable_text(rows, row, 3), "columns",
            ordered_json::array(), "primary_key", nullptr, "foreign_keys", ordered_json::array(),
            "indexes", ordered_json::array());
      }
      _by_oid.emplace(text(rows, row, 0), _relations.size());
      _relations.push_back(std::move(entry));
    }
  }

  void read_columns(const std::string& schema_oid) {
    const auto result = run(columns_query, {schema_oid});
    const auto* rows = result.get();
    for (int row = 0; row < PQntuples(rows); ++row) {
      auto* owner = relation(rows, row);
      if (owner == nullptr) continue;
      const bool identity = PQgetvalue(rows, row, 5)[0] != '\0';
      const bool generated = PQgetvalue(rows, row, 6)[0] != '\0';
      // An identity column has no default expression, and a generated column's
      // expression is not a default.
      auto default_value =
          identity || generated ? ordered_json(nullptr) : nullable_text(rows, row, 4);
      const bool serial = default_value.is_string() &&
                          default_value.get_ref<const std::string&>().starts_with("nextval(");
      owner->at("columns").push_back(core::make_object(
          "name", text(rows, row, 1), "type", text(rows, row, 2), "nullable", !flag(rows, row, 3),
          "default", std::move(default_value), "autoincrement", identity || serial, "comment",
          nullable_text(rows, row, 7)));
    }
  }

  void read_constraints(const std::string& schema_oid) {
    const auto result = run(constraints_query, {schema_oid});
    const auto* rows = result.get();
    for (int row = 0; row < PQntuples(rows); ++row) {
      auto* owner = relation(rows, row);
      if (owner == nullptr) continue;
      if (PQgetvalue(rows, row, 2)[0] == 'p') {
        (*owner)["primary_key"] = core::make_object(
            "name", text(rows, row, 1), "constrained_columns", json_value(rows, row, 3));
        continue;
      }
      auto options = ordered_json::object();
      if (auto action = foreign_key_action(PQgetvalue(rows, row, 8)[0]); !action.empty()) {
        options["ondelete"] = std::move(action);
      }
      if (auto action = foreign_key_action(PQgetvalue(rows, row, 7)[0]); !action.empty()) {
        options["onupdate"] = std::move(action);
      }
      if (flag(rows, row, 10)) {
        options["deferrable"] = true;
        options["initially"] = flag(rows, row, 11) ? "DEFERRED" : "IMMEDIATE";
      }
      const char match = PQgetvalue(rows, row, 9)[0];
      if (match == 'f') options["match"] = "FULL";
      if (match == 'p') options["match"] = "PARTIAL";
      owner->at("foreign_keys")
          .push_back(core::make_object("name", text(rows, row, 1), "constrained_columns",
                                       json_value(rows, row, 3), "referred_schema",
                                       nullable_text(rows, row, 4), "referred_table",
                                       nullable_text(rows, row, 5), "referred_columns",
                                       json_value(rows, row, 6), "options", std::move(options)));
    }
  }

  void read_indexes(const std::string& schema_oid) {
    const auto result = run(indexes_query, {schema_oid});
    const auto* rows = result.get();
    for (int row = 0; row < PQntuples(rows); ++row) {
      auto* owner = relation(rows, row);
      if (owner == nullptr) continue;
      auto column_names = ordered_json::array();
      auto expressions = ordered_json::array();
      bool has_expression = false;
      for (auto& element : json_value(rows, row, 4)) {
        column_names.push_back(std::move(element.at(0)));
        has_expression = has_expression || !element.at(1).is_null();
        expressions.push_back(std::move(element.at(1)));
      }
      auto index = core::make_object("name", text(rows, row, 1), "column_names",
                                     std::move(column_names), "unique", flag(rows, row, 2));
      if (has_expression) index["expressions"] = std::move(expressions);
      if (PQgetisnull(rows, row, 3) == 0) {
        index["dialect_options"] = core::make_object("postgresql_where", text(rows, row, 3));
      }
      owner->at("indexes").push_back(std::move(index));
    }
  }

  PGconn* _connection;
  std::string_view _engine_name;
  int& _query_count;
  std::vector<Relation> _relations;  // in name order
  std::unordered_map<std::string, std::size_t> _by_oid;
};

// libpq waits for an unanswered connection attempt as long as the kernel does
// (minutes); give up sooner unless the URL or PGCONNECT_TIMEOUT says otherwise.
// Keywords listed before "dbname" are overridden by the URL expanded from it.
PGconn* connect(const std::string& engine_name) {
  // libpq's own parse errors quote the URL, password and all.
  if (const auto failure = core::conninfo_parse_failure(engine_name)) {
    throw core::ConfigurationError(
        fmt::format("engine '{}': not a connection string libpq reads: {}",
                    core::redact_password(engine_name), *failure));
  }
  const bool timeout_from_environment = std::getenv("PGCONNECT_TIMEOUT") != nullptr;
  const char* const keywords[] = {timeout_from_environment ? "dbname" : "connect_timeout",
                                  timeout_from_environment ? nullptr : "dbname", nullptr};
  const char* const values[] = {timeout_from_environment ? engine_name.c_str() : "10",
                                timeout_from_environment ? nullptr : engine_name.c_str(), nullptr};
  return PQconnectdbParams(keywords, values, 1);
}

}  // namespace

void PostgresqlInspector::ConnectionCloser::operator()(pg_conn* connection) const noexcept {
  PQfinish(connection);
}

PostgresqlInspector::PostgresqlInspector(const std::string& engine_name)
    : _engine_name(core::redact_password(engine_name)), _connection(connect(engine_name)) {
  if (!_connection) throw std::bad_alloc();
  if (PQstatus(_connection.get()) != CONNECTION_OK) {
    auto reason = core::without_secrets(one_line(PQerrorMessage(_connection.get())), engine_name);
    auto text = fmt::format("engine '{}': cannot connect to PostgreSQL: {}", _engine_name, reason);
    throw core::DatabaseError(std::move(text), "", std::move(reason), "");
  }
  // Catalog text goes into JSON documents, which are UTF-8.
  if (PQsetClientEncoding(_connection.get(), "UTF8") != 0) {
    throw core::ConfigurationError(
        fmt::format("engine '{}': cannot use UTF8 as client encoding: {}", _engine_name,
                    one_line(PQerrorMessage(_connection.get()))));
  }
}

std::optional<nlohmann::ordered_json> PostgresqlInspector::get_schema(
    const std::optional<std::string>& schema_name) {
  _last_query_count = 0;
  try {
    return SchemaReader(_connection.get(), _engine_name, _last_query_count)
        .read(schema_name.value_or("public"));
  } catch (const core::DatabaseError&) {
    // Leave the failed transaction so the connection stays usable; a failing
    // ROLLBACK only means there was no transaction to end.
    PQclear(PQexec(_connection.get(), "ROLLBACK"));
    throw;
  }
}

std::unique_ptr<SchemaInspector> make_postgresql_inspector(const std::string& engine_name) {
  return std::make_unique<PostgresqlInspector>(engine_name);
}

}  // namespace kelmarion::meta::detail
