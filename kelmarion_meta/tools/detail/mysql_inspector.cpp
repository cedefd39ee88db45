#include "kelmarion_meta/tools/detail/mysql_inspector.h"

#include <fmt/format.h>
#include <mysql.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/detail/mysql_url.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/json_object.h"
#include "kelmarion_meta/tools/detail/builtin_inspectors.h"
#include "kelmarion_meta/tools/detail/mysql_queries.h"

namespace kelmarion::meta::detail {
namespace {

using nlohmann::ordered_json;
namespace queries = mysql_queries;

// Metadata locks wait at most this long unless the URL says otherwise.
constexpr unsigned default_lock_wait_seconds = 10;
constexpr unsigned default_connect_timeout_seconds = 10;

// ---- talking to Connector/C ----

struct ResultFreer {
  void operator()(MYSQL_RES* result) const noexcept { mysql_free_result(result); }
};
using Result = std::unique_ptr<MYSQL_RES, ResultFreer>;

struct StatementCloser {
  void operator()(MYSQL_STMT* statement) const noexcept { mysql_stmt_close(statement); }
};

std::string one_line(std::string_view message) {
  std::string line(message);
  std::replace_if(
      line.begin(), line.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
  return line;
}

// Blanks a password out of a client or server message, should one ever echo it.
std::string without_password(std::string message, const std::optional<std::string>& password) {
  if (!password || password->empty()) return message;
  for (auto at = message.find(*password); at != std::string::npos;
       at = message.find(*password, at + 3)) {
    message.replace(at, password->size(), "***");
  }
  return message;
}

[[noreturn]] void throw_query_error(unsigned error_number, std::string_view message,
                                    std::string_view sql, std::string_view engine_name) {
  const auto text = one_line(message);
  throw core::DatabaseError(
      fmt::format("engine '{}': catalog query failed ({}): {}", engine_name, error_number, text),
      std::to_string(error_number), text, std::string(sql));
}

// One row of a result: texts by column, with NULL told apart.
class Row {
 public:
  Row(MYSQL_ROW values, const unsigned long* lengths) : _values(values), _lengths(lengths) {}

  [[nodiscard]] bool is_null(unsigned column) const { return _values[column] == nullptr; }
  [[nodiscard]] std::string_view view(unsigned column) const {
    return is_null(column) ? std::string_view()
                           : std::string_view(_values[column], _lengths[column]);
  }
  [[nodiscard]] std::string text(unsigned column) const { return std::string(view(column)); }
  [[nodiscard]] ordered_json nullable_text(unsigned column) const {
    return is_null(column) ? ordered_json(nullptr) : ordered_json(text(column));
  }
  // Comments: the server reports "no comment" as an empty text.
  [[nodiscard]] ordered_json comment(unsigned column) const {
    return view(column).empty() ? ordered_json(nullptr) : ordered_json(text(column));
  }

 private:
  MYSQL_ROW _values;
  const unsigned long* _lengths;
};

template <typename Visit>
void for_each_row(MYSQL_RES* result, Visit&& visit) {
  while (MYSQL_ROW values = mysql_fetch_row(result))
    visit(Row(values, mysql_fetch_lengths(result)));
}

bool contains_ignoring_case(std::string_view text, std::string_view part,
                            std::size_t* at = nullptr) {
  const auto found =
      std::search(text.begin(), text.end(), part.begin(), part.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
      });
  if (found == text.end()) return false;
  if (at != nullptr) *at = static_cast<std::size_t>(found - text.begin());
  return true;
}

std::string quoted_literal(std::string_view text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') quoted += '\'';
    if (c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "'";
}

// The column's default as SQL text the server accepts back. MariaDB already
// reports it so: literals quoted, expressions as written, "NULL" for a default
// of NULL, SQL NULL for none. MySQL reports a literal's bare text, an
// expression (marked DEFAULT_GENERATED) without its parentheses, and SQL NULL
// for both a default of NULL and none; a nullable column then defaults to NULL,
// as its SHOW CREATE TABLE says.
ordered_json column_default(bool is_mariadb, const Row& row, bool nullable, bool derived) {
  constexpr unsigned default_column = 4;
  constexpr unsigned extra_column = 5;
  constexpr unsigned data_type_column = 8;
  if (derived) return nullptr;
  if (is_mariadb) return row.nullable_text(default_column);
  if (row.is_null(default_column)) return nullable ? ordered_json("NULL") : ordered_json(nullptr);
  const auto value = row.view(default_column);
  if (contains_ignoring_case(row.view(extra_column), "DEFAULT_GENERATED")) {
    const bool timestamp = contains_ignoring_case(value, "CURRENT_TIMESTAMP");
    return timestamp ? std::string(value) : fmt::format("({})", value);
  }
  static constexpr std::string_view bare_types[] = {"tinyint", "smallint", "mediumint", "int",
                                                    "bigint",  "decimal",  "float",     "double",
                                                    "bit",     "year"};
  const auto data_type = row.view(data_type_column);
  const bool bare =
      std::find(std::begin(bare_types), std::end(bare_types), data_type) != std::end(bare_types);
  return bare ? std::string(value) : quoted_literal(value);
}

// ---- building the document ----

// Lets the name map be searched with the views the rows hand out.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};

struct Relation {
  ordered_json document;
  bool is_view = false;
};

class SchemaReader {
 public:
  SchemaReader(MYSQL* connection, std::string_view engine_name, bool is_mariadb, int& query_count)
      : _connection(connection),
        _engine_name(engine_name),
        _is_mariadb(is_mariadb),
        _query_count(query_count) {}

  std::optional<ordered_json> read(const std::string& schema_name) {
    bind(schema_name);
    bool found = false;
    // The comparison ignores case; the directory the server opens does not.
    for_each_row(run(queries::schema_query).get(),
                 [&](const Row& row) { found = found || row.view(0) == schema_name; });
    if (!found) return std::nullopt;
    read_relations();
    read_views();
    read_columns();
    read_keys();
    read_indexes();

    auto tables = ordered_json::array();
    auto views = ordered_json::array();
    for (auto& relation : _relations) {
      (relation.is_view ? views : tables).push_back(std::move(relation.document));
    }
    // MySQL has no database comments.
    return core::make_object("schema_name", schema_name, "tables", std::move(tables), "views",
                             std::move(views), "comment", nullptr);
  }

 private:
  [[noreturn]] void fail(std::string_view sql) {
    throw_query_error(mysql_errno(_connection), mysql_error(_connection), sql, _engine_name);
  }

  void bind(const std::string& schema_name) {
    ++_query_count;
    const std::unique_ptr<MYSQL_STMT, StatementCloser> statement(mysql_stmt_init(_connection));
    if (!statement) fail(queries::bind_schema);
    const auto statement_failed = [&] {
      throw_query_error(mysql_stmt_errno(statement.get()), mysql_stmt_error(statement.get()),
                        queries::bind_schema, _engine_name);
    };
    if (mysql_stmt_prepare(statement.get(), queries::bind_schema.data(),
                           queries::bind_schema.size()) != 0) {
      statement_failed();
    }
    MYSQL_BIND parameter{};
    unsigned long length = schema_name.size();
    parameter.buffer_type = MYSQL_TYPE_STRING;
    // Connector/C reads the buffer only; its API has no const.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast)
    parameter.buffer = const_cast<char*>(schema_name.data());
    parameter.buffer_length = length;
    parameter.length = &length;
    if (mysql_stmt_bind_param(statement.get(), &parameter) != 0 ||
        mysql_stmt_execute(statement.get()) != 0) {
      statement_failed();
    }
  }

  Result run(std::string_view sql) {
    ++_query_count;
    if (mysql_real_query(_connection, sql.data(), sql.size()) != 0) fail(sql);
    Result result(mysql_store_result(_connection));
    if (!result) fail(sql);
    return result;
  }

  ordered_json* relation(const Row& row) {
    const auto found = _by_name.find(row.view(0));
    return found == _by_name.end() ? nullptr : &_relations[found->second].document;
  }
  ordered_json* table(const Row& row) {
    const auto found = _by_name.find(row.view(0));
    if (found == _by_name.end() || _relations[found->second].is_view) return nullptr;
    return &_relations[found->second].document;
  }

  void read_relations() {
    for_each_row(run(queries::tables_query).get(), [&](const Row& row) {
      Relation entry;
      entry.is_view = row.view(1) == "VIEW";
      if (entry.is_view) {
        // A view's comment is always "VIEW"; MySQL has no view comments.
        entry.document = core::make_object("view_name", row.text(0), "definition", nullptr,
                                           "comment", nullptr, "columns", ordered_json::array());
      } else {
        entry.document =
            core::make_object("table_name", row.text(0), "comment", row.comment(2), "columns",
                              ordered_json::array(), "primary_key", nullptr, "foreign_keys",
                              ordered_json::array(), "indexes", ordered_json::array());
      }
      _by_name.emplace(row.text(0), _relations.size());
      _relations.push_back(std::move(entry));
    });
  }

  void read_views() {
    for_each_row(run(queries::views_query).get(), [&](const Row& row) {
      if (auto* view = relation(row); view != nullptr && view->contains("view_name")) {
        (*view)["definition"] = row.nullable_text(1);
      }
    });
  }

  void read_columns() {
    for_each_row(run(queries::columns_query).get(), [&](const Row& row) {
      auto* owner = relation(row);
      if (owner == nullptr) return;
      const auto extra = row.view(5);
      const bool stored = contains_ignoring_case(extra, "STORED GENERATED");
      const bool generated = stored || contains_ignoring_case(extra, "VIRTUAL GENERATED");
      const bool autoincrement = contains_ignoring_case(extra, "auto_increment");
      const bool nullable = row.view(3) == "YES";
      auto column = core::make_object(
          "name", row.text(1), "type", row.text(2), "nullable", nullable, "default",
          column_default(_is_mariadb, row, nullable, generated || autoincrement), "autoincrement",
          autoincrement, "comment", row.comment(6));
      if (generated) {
        column["computed"] =
            core::make_object("sqltext", row.nullable_text(7), "persisted", stored);
      }
      std::size_t at = 0;
      if (contains_ignoring_case(extra, "on update ", &at)) {
        column["dialect_options"] = core::make_object(
            "mysql_on_update",
            std::string(extra.substr(at + std::string_view("on update ").size())));
      }
      owner->at("columns").push_back(std::move(column));
    });
  }

  void read_keys() {
    // ON UPDATE / ON DELETE by table and constraint name; RESTRICT is what the
    // server reports for a key that names no action, so it is left out.
    std::map<std::pair<std::string, std::string>, ordered_json> options;
    for_each_row(run(queries::rules_query).get(), [&](const Row& row) {
      auto entry = ordered_json::object();
      if (row.view(3) != "RESTRICT") entry["ondelete"] = row.text(3);
      if (row.view(2) != "RESTRICT") entry["onupdate"] = row.text(2);
      options.emplace(std::pair(row.text(0), row.text(1)), std::move(entry));
    });
    for_each_row(run(queries::keys_query).get(), [&](const Row& row) {
      auto* owner = table(row);
      if (owner == nullptr) return;
      if (row.view(1) == "PRIMARY" && row.is_null(4)) {
        auto& key = (*owner)["primary_key"];
        if (key.is_null()) {
          key =
              core::make_object("name", row.text(1), "constrained_columns", ordered_json::array());
        }
        key.at("constrained_columns").push_back(row.text(2));
        return;
      }
      auto& keys = owner->at("foreign_keys");
      if (keys.empty() || keys.back().at("name") != row.view(1)) {
        const auto found = options.find(std::pair(row.text(0), row.text(1)));
        keys.push_back(core::make_object(
            "name", row.text(1), "constrained_columns", ordered_json::array(), "referred_schema",
            row.nullable_text(3), "referred_table", row.nullable_text(4), "referred_columns",
            ordered_json::array(), "options",
            found == options.end() ? ordered_json::object() : std::move(found->second)));
      }
      keys.back().at("constrained_columns").push_back(row.text(2));
      keys.back().at("referred_columns").push_back(row.nullable_text(5));
    });
  }

  void read_indexes() {
    for_each_row(run(queries::indexes_query).get(), [&](const Row& row) {
      auto* owner = table(row);
      if (owner == nullptr) return;
      auto& indexes = owner->at("indexes");
      if (indexes.empty() || indexes.back().at("name") != row.view(1)) {
        auto index = core::make_object("name", row.text(1), "column_names", ordered_json::array(),
                                       "unique", row.view(2) == "0");
        if (row.view(6) == "FULLTEXT" || row.view(6) == "SPATIAL") {
          index["dialect_options"] = core::make_object("mysql_prefix", row.text(6));
        }
        indexes.push_back(std::move(index));
      }
      auto& index = indexes.back();
      // An expression part (MySQL 8) has no column. A spatial key reports a
      // length of its own that no CREATE INDEX may give.
      auto column = row.nullable_text(3);
      if (!row.is_null(4) && column.is_string() && row.view(6) != "SPATIAL") {
        index["dialect_options"]["mysql_length"][column.get<std::string>()] =
            std::stoll(row.text(4));
      }
      if (row.view(5) == "D" && column.is_string()) {
        index["dialect_options"]["mysql_descending"].push_back(column);
      }
      index.at("column_names").push_back(std::move(column));
    });
  }

  MYSQL* _connection;
  std::string_view _engine_name;
  bool _is_mariadb;
  int& _query_count;
  std::vector<Relation> _relations;  // in name order
  std::unordered_map<std::string, std::size_t, NameHash, std::equal_to<>> _by_name;
};

}  // namespace

void MysqlInspector::ConnectionCloser::operator()(st_mysql* connection) const noexcept {
  mysql_close(connection);
}

MysqlInspector::MysqlInspector(const std::string& engine_name)
    : _engine_name(core::redact_password(engine_name)) {
  const auto url = core::detail::parse_mysql_url(engine_name);
  _default_database = url.database;
  _connection.reset(mysql_init(nullptr));
  if (!_connection) {
    throw core::ConfigurationError(
        fmt::format("engine '{}': the MySQL client could not allocate a connection", _engine_name));
  }
  auto* connection = _connection.get();
  const unsigned connect_timeout = url.connect_timeout.value_or(default_connect_timeout_seconds);
  const auto session_setup =
      fmt::format("SET SESSION lock_wait_timeout = {}",
                  std::max(1U, url.lock_wait_timeout.value_or(default_lock_wait_seconds)));
  const unsigned protocol = url.socket.empty() ? MYSQL_PROTOCOL_DEFAULT : MYSQL_PROTOCOL_SOCKET;
  mysql_options(connection, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  mysql_options(connection, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  mysql_options(connection, MYSQL_OPT_PROTOCOL, &protocol);
  mysql_options(connection, MYSQL_INIT_COMMAND, session_setup.c_str());
  mysql_options(connection, MYSQL_INIT_COMMAND, "SET SESSION TRANSACTION READ ONLY");

  // An empty password, never a null one: with null, the client would read
  // MYSQL_PWD.
  const std::string password = url.password.value_or("");
  const char* host = url.host.empty() ? "localhost" : url.host.c_str();
  if (mysql_real_connect(connection, host, url.user.empty() ? nullptr : url.user.c_str(),
                         password.c_str(), nullptr, url.port,
                         url.socket.empty() ? nullptr : url.socket.c_str(), 0) == nullptr) {
    const auto error_number = mysql_errno(connection);
    const auto message = without_password(one_line(mysql_error(connection)), url.password);
    throw core::DatabaseError(fmt::format("engine '{}': cannot connect to MySQL/MariaDB: {} ({})",
                                          _engine_name, message, error_number),
                              std::to_string(error_number), message, "");
  }
  _is_mariadb =
      std::string_view(mysql_get_server_info(connection)).find("MariaDB") != std::string_view::npos;
}

std::optional<nlohmann::ordered_json> MysqlInspector::get_schema(
    const std::optional<std::string>& schema_name) {
  _last_query_count = 0;
  const auto& name = schema_name ? *schema_name : _default_database;
  if (name.empty()) {
    throw core::ConfigurationError(
        fmt::format("engine '{}': no database to inspect: name one in the URL "
                    "or give a schema",
                    _engine_name));
  }
  return SchemaReader(_connection.get(), _engine_name, _is_mariadb, _last_query_count).read(name);
}

std::unique_ptr<SchemaInspector> make_mysql_inspector(const std::string& engine_name) {
  return std::make_unique<MysqlInspector>(engine_name);
}

}  // namespace kelmarion::meta::detail
