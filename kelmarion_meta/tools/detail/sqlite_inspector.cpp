#include "kelmarion_meta/tools/detail/sqlite_inspector.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string_view>
#include <utility>
#include <vector>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/detail/sql_render.h"
#include "kelmarion_core/detail/sqlite_handle.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/json_object.h"
#include "kelmarion_core/logging.h"
#include "kelmarion_core/utf8.h"
#include "kelmarion_meta/tools/detail/builtin_inspectors.h"

namespace kelmarion::meta::detail {
namespace {

using nlohmann::ordered_json;

// ---- talking to SQLite ----

void run(sqlite3* connection, const char* sql) {
  core::detail::check_sqlite(sqlite3_exec(connection, sql, nullptr, nullptr, nullptr), connection,
                             "inspect schema", sql);
}

// A prepared statement run many times with different bound values.
class Statement {
 public:
  Statement(sqlite3* connection, std::string sql)
      : _connection(connection),
        _sql(std::move(sql)),
        _statement(core::detail::prepare_sqlite(connection, _sql)) {}

  // Resets the statement and binds the values to ?1, ?2, ... as text.
  void bind(std::initializer_list<std::string_view> values) {
    check(sqlite3_reset(_statement.get()));
    int index = 1;
    for (const auto value : values) {
      check(sqlite3_bind_text(_statement.get(), index++, value.data(),
                              static_cast<int>(value.size()), SQLITE_TRANSIENT));
    }
  }

  // Moves to the next row; false when there is none.
  [[nodiscard]] bool step() { return check(sqlite3_step(_statement.get())) == SQLITE_ROW; }

  [[nodiscard]] std::optional<std::string> text(int column) const {
    const auto* value = sqlite3_column_text(_statement.get(), column);
    if (value == nullptr) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(value),
                       static_cast<std::size_t>(sqlite3_column_bytes(_statement.get(), column)));
  }

  [[nodiscard]] std::string text_or_empty(int column) const {
    return text(column).value_or(std::string());
  }

  [[nodiscard]] std::int64_t integer(int column) const {
    return sqlite3_column_int64(_statement.get(), column);
  }

 private:
  int check(int result) const {
    return core::detail::check_sqlite(result, _connection, "inspect schema", _sql);
  }

  sqlite3* _connection;
  std::string _sql;
  core::detail::SqliteStatement _statement;
};

// SQLite compares identifiers case-insensitively in ASCII only.
bool same_identifier(std::string_view left, std::string_view right) {
  return left.size() == right.size() &&
         std::equal(left.begin(), left.end(), right.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

bool same_identifiers(const std::vector<std::string>& left, const std::vector<std::string>& right) {
  return std::equal(
      left.begin(), left.end(), right.begin(), right.end(),
      [](const std::string& a, const std::string& b) { return same_identifier(a, b); });
}

// ---- reading the CREATE statements kept in sqlite_schema ----

enum class TokenKind { word, quoted, string, symbol };

struct Token {
  TokenKind kind;
  std::size_t begin;  // byte offsets into the statement
  std::size_t end;
  std::string value;  // identifiers unquoted, words as written
};

// Splits a statement into words, quoted identifiers, string literals and
// one-character symbols, dropping whitespace and comments. Only as much of the
// grammar as finding names, clauses and element boundaries needs.
std::vector<Token> tokenize(std::string_view sql) {
  std::vector<Token> tokens;
  std::size_t at = 0;
  const auto is_word_char = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '$' ||
           (static_cast<unsigned char>(c) & 0x80U) != 0;
  };
  while (at < sql.size()) {
    const char c = sql[at];
    if (std::isspace(static_cast<unsigned char>(c)) != 0) {
      ++at;
    } else if (sql.substr(at, 2) == "--") {
      const auto line_end = sql.find('\n', at);
      at = line_end == std::string_view::npos ? sql.size() : line_end + 1;
    } else if (sql.substr(at, 2) == "/*") {
      const auto comment_end = sql.find("*/", at + 2);
      at = comment_end == std::string_view::npos ? sql.size() : comment_end + 2;
    } else if (c == '"' || c == '`' || c == '\'' || c == '[') {
      const char close = c == '[' ? ']' : c;
      std::string value;
      std::size_t next = at + 1;
      while (next < sql.size()) {
        if (sql[next] == close) {
          // A doubled closing quote stands for itself; brackets have no escape.
          if (close != ']' && next + 1 < sql.size() && sql[next + 1] == close) {
            value += close;
            next += 2;
            continue;
          }
          break;
        }
        value += sql[next++];
      }
      const auto end = std::min(next + 1, sql.size());
      tokens.push_back({c == '\'' ? TokenKind::string : TokenKind::quoted, at, end, value});
      at = end;
    } else if (is_word_char(c)) {
      std::size_t next = at;
      while (next < sql.size() && is_word_char(sql[next])) ++next;
      tokens.push_back({TokenKind::word, at, next, std::string(sql.substr(at, next - at))});
      at = next;
    } else {
      tokens.push_back({TokenKind::symbol, at, at + 1, std::string(1, c)});
      ++at;
    }
  }
  return tokens;
}

class TokenReader {
 public:
  explicit TokenReader(std::string_view sql) : _sql(sql), _tokens(tokenize(sql)) {}

  [[nodiscard]] std::size_t size() const noexcept { return _tokens.size(); }

  [[nodiscard]] bool is_keyword(std::size_t at, std::string_view keyword) const {
    return at < _tokens.size() && _tokens[at].kind == TokenKind::word &&
           same_identifier(_tokens[at].value, keyword);
  }

  [[nodiscard]] bool is_symbol(std::size_t at, char symbol) const {
    return at < _tokens.size() && _tokens[at].kind == TokenKind::symbol &&
           _tokens[at].value.front() == symbol;
  }

  // The identifier a token spells; SQLite also takes a string literal as a name.
  [[nodiscard]] std::string identifier(std::size_t at) const {
    return at < _tokens.size() ? _tokens[at].value : std::string();
  }

  // The statement text from the start of token `first` to the end of token `last - 1`.
  [[nodiscard]] std::string text(std::size_t first, std::size_t last) const {
    if (first >= last || last > _tokens.size()) return {};
    return std::string(
        _sql.substr(_tokens[first].begin, _tokens[last - 1].end - _tokens[first].begin));
  }

  [[nodiscard]] std::string text_from(std::size_t first) const {
    if (first >= _tokens.size()) return {};
    auto rest = _sql.substr(_tokens[first].begin);
    while (!rest.empty() &&
           (rest.back() == ';' || std::isspace(static_cast<unsigned char>(rest.back())) != 0)) {
      rest.remove_suffix(1);
    }
    return std::string(rest);
  }

  // The index past the parenthesis that closes the one at `open`.
  [[nodiscard]] std::size_t skip_group(std::size_t open) const {
    int depth = 0;
    for (std::size_t at = open; at < _tokens.size(); ++at) {
      if (is_symbol(at, '(')) ++depth;
      if (is_symbol(at, ')') && --depth == 0) return at + 1;
    }
    return _tokens.size();
  }

  // The first token at parenthesis depth zero, from `from` on, that satisfies `match`.
  template <typename Match>
  [[nodiscard]] std::size_t find_top_level(std::size_t from, Match match) const {
    for (std::size_t at = from; at < _tokens.size();) {
      if (match(at)) return at;
      at = is_symbol(at, '(') ? skip_group(at) : at + 1;
    }
    return _tokens.size();
  }

  // The [first, last) token ranges of the comma-separated elements inside the
  // parentheses opening at `open`.
  [[nodiscard]] std::vector<std::pair<std::size_t, std::size_t>> elements(std::size_t open) const {
    std::vector<std::pair<std::size_t, std::size_t>> ranges;
    const auto close = skip_group(open) - 1;
    std::size_t start = open + 1;
    for (std::size_t at = start; at <= close && at < _tokens.size();) {
      if (at == close || is_symbol(at, ',')) {
        if (at > start) ranges.emplace_back(start, at);
        start = ++at;
      } else {
        at = is_symbol(at, '(') ? skip_group(at) : at + 1;
      }
    }
    return ranges;
  }

  // The leading name of each element of a parenthesised column list.
  [[nodiscard]] std::vector<std::string> column_list(std::size_t open) const {
    std::vector<std::string> names;
    for (const auto& [first, last] : elements(open)) names.push_back(identifier(first));
    return names;
  }

 private:
  std::string_view _sql;
  std::vector<Token> _tokens;
};

struct UniqueDeclaration {
  std::optional<std::string> name;
  std::vector<std::string> columns;
};

struct ForeignKeyDeclaration {
  std::optional<std::string> name;
  std::vector<std::string> columns;
  std::string referred_table;
  std::vector<std::string> referred_columns;
  bool deferrable = false;
  bool initially_deferred = false;
};

// What a CREATE TABLE statement says that the pragmas do not: constraint names
// and whether a foreign key is deferrable.
struct TableDeclaration {
  std::optional<std::string> primary_key_name;
  std::vector<UniqueDeclaration> uniques;
  std::vector<ForeignKeyDeclaration> foreign_keys;
};

class TableDeclarationReader {
 public:
  explicit TableDeclarationReader(std::string_view sql) : _tokens(sql) {}

  TableDeclaration read() {
    // CREATE TABLE ... AS SELECT declares no constraints.
    const auto open = _tokens.find_top_level(0, [&](std::size_t at) {
      return _tokens.is_symbol(at, '(') || _tokens.is_keyword(at, "AS");
    });
    if (!_tokens.is_symbol(open, '(')) return {};
    for (const auto& [first, last] : _tokens.elements(open)) {
      const bool table_constraint =
          _tokens.is_keyword(first, "CONSTRAINT") || _tokens.is_keyword(first, "PRIMARY") ||
          _tokens.is_keyword(first, "UNIQUE") || _tokens.is_keyword(first, "CHECK") ||
          _tokens.is_keyword(first, "FOREIGN");
      if (table_constraint) {
        read_constraints(first, last, std::nullopt);
      } else {
        read_constraints(first + 1, last, _tokens.identifier(first));
      }
    }
    return std::move(_declaration);
  }

 private:
  // Reads the constraints of one column definition (`column` set) or one table constraint.
  void read_constraints(std::size_t at, std::size_t last,
                        const std::optional<std::string>& column) {
    std::optional<std::string> name;
    while (at < last) {
      std::optional<std::string> constraint_name = std::exchange(name, std::nullopt);
      if (_tokens.is_keyword(at, "CONSTRAINT")) {
        name = _tokens.identifier(at + 1);
        at += 2;
      } else if (_tokens.is_keyword(at, "PRIMARY")) {
        _declaration.primary_key_name = std::move(constraint_name);
        at += 2;  // PRIMARY KEY
        if (!column && _tokens.is_symbol(at, '(')) at = _tokens.skip_group(at);
      } else if (_tokens.is_keyword(at, "UNIQUE")) {
        ++at;
        UniqueDeclaration unique{std::move(constraint_name), {}};
        if (column) {
          unique.columns = {*column};
        } else if (_tokens.is_symbol(at, '(')) {
          unique.columns = _tokens.column_list(at);
          at = _tokens.skip_group(at);
        }
        _declaration.uniques.push_back(std::move(unique));
      } else if (_tokens.is_keyword(at, "FOREIGN") && _tokens.is_symbol(at + 2, '(')) {
        at += 2;  // FOREIGN KEY
        auto columns = _tokens.column_list(at);
        at = _tokens.skip_group(at);
        if (_tokens.is_keyword(at, "REFERENCES")) {
          at = read_references(at, std::move(constraint_name), std::move(columns));
        }
      } else if (_tokens.is_keyword(at, "REFERENCES") && column) {
        at = read_references(at, std::move(constraint_name), {*column});
      } else if (_tokens.is_symbol(at, '(')) {
        at = _tokens.skip_group(at);
      } else {
        ++at;
      }
    }
  }

  // Reads "REFERENCES table [(columns)] [clauses]" from `at`; returns the index past it.
  std::size_t read_references(std::size_t at, std::optional<std::string> name,
                              std::vector<std::string> columns) {
    ForeignKeyDeclaration key{std::move(name), std::move(columns), _tokens.identifier(at + 1), {}};
    at += 2;
    if (_tokens.is_symbol(at, '(')) {
      key.referred_columns = _tokens.column_list(at);
      at = _tokens.skip_group(at);
    }
    while (at < _tokens.size()) {
      if (_tokens.is_keyword(at, "ON")) {
        at += 2;  // ON DELETE | ON UPDATE, then the action: one word or two
        at += _tokens.is_keyword(at, "SET") || _tokens.is_keyword(at, "NO") ? 2 : 1;
      } else if (_tokens.is_keyword(at, "MATCH")) {
        at += 2;
      } else if (_tokens.is_keyword(at, "NOT") && _tokens.is_keyword(at + 1, "DEFERRABLE")) {
        key.deferrable = false;
        at += 2;
      } else if (_tokens.is_keyword(at, "DEFERRABLE")) {
        key.deferrable = true;
        ++at;
      } else if (_tokens.is_keyword(at, "INITIALLY")) {
        key.initially_deferred = _tokens.is_keyword(at + 1, "DEFERRED");
        at += 2;
      } else {
        break;
      }
    }
    _declaration.foreign_keys.push_back(std::move(key));
    return at;
  }

  TokenReader _tokens;
  TableDeclaration _declaration;
};

// The text of each element of CREATE INDEX ... ON table (elements) without its
// COLLATE and ASC/DESC, and the WHERE condition of a partial index.
struct IndexDeclaration {
  std::vector<std::string> elements;
  std::optional<std::string> where;
};

IndexDeclaration read_index_declaration(std::string_view sql) {
  const TokenReader tokens(sql);
  IndexDeclaration declaration;
  const auto on =
      tokens.find_top_level(0, [&](std::size_t at) { return tokens.is_keyword(at, "ON"); });
  const auto open =
      tokens.find_top_level(on, [&](std::size_t at) { return tokens.is_symbol(at, '('); });
  if (open >= tokens.size()) return declaration;
  for (auto [first, last] : tokens.elements(open)) {
    if (last - first > 1 &&
        (tokens.is_keyword(last - 1, "ASC") || tokens.is_keyword(last - 1, "DESC"))) {
      --last;
    }
    if (last - first > 2 && tokens.is_keyword(last - 2, "COLLATE")) last -= 2;
    declaration.elements.push_back(tokens.text(first, last));
  }
  const auto after = tokens.skip_group(open);
  if (tokens.is_keyword(after, "WHERE")) declaration.where = tokens.text_from(after + 1);
  return declaration;
}

// The query of CREATE VIEW name [(columns)] AS query; the whole statement when
// it cannot be found.
std::string view_query(std::string_view sql) {
  const TokenReader tokens(sql);
  const auto as =
      tokens.find_top_level(0, [&](std::size_t at) { return tokens.is_keyword(at, "AS"); });
  return as + 1 < tokens.size() ? tokens.text_from(as + 1) : std::string(sql);
}

// ---- refusing texts that are not UTF-8 ----

// SQLite keeps a name as the bytes it was given. A JSON document can only hold
// well-formed UTF-8, and replacing the bad bytes would merge names that differ.

// How an entry of each list of the document is named in messages.
struct EntryKind {
  std::string_view list;
  std::string_view entry;
  std::string_view name_key;
};
constexpr std::array entry_kinds = {
    EntryKind{"tables", "table", "table_name"}, EntryKind{"views", "view", "view_name"},
    EntryKind{"columns", "column", "name"}, EntryKind{"indexes", "index", "name"},
    EntryKind{"foreign_keys", "foreign key", "name"}};

// At most 60 bytes of `text`, its bad bytes escaped, for a message.
std::string shown_text(const std::string& text) {
  constexpr std::size_t shown_length = 60;
  auto shown = core::escape_invalid_utf8(text);
  if (shown.size() <= shown_length) return shown;
  auto end = shown_length;
  while (end > 0 && (static_cast<unsigned char>(shown[end]) & 0xC0U) == 0x80U) --end;
  return shown.substr(0, end) + "...";
}

// Throws DocumentError when a text in `value`, the value of `key` in the entry
// `subject` names, is not well-formed UTF-8.
void check_texts(const ordered_json& value, const std::string& subject, std::string_view key) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (!core::is_valid_utf8(text)) {
      throw core::DocumentError(
          fmt::format("{}: {} '{}' is not valid UTF-8", subject, key, shown_text(text)));
    }
  } else if (value.is_structured()) {
    for (const auto& item : value) check_texts(item, subject, key);
  }
}

// The same for every text of `entry` but its name, which `subject` shows, and
// for the entries of its lists, each named after `prefix`.
void check_entry_texts(const ordered_json& entry, const std::string& subject,
                       std::string_view name_key, const std::string& prefix) {
  for (const auto& [key, value] : entry.items()) {
    if (key == name_key) continue;
    const auto* kind = std::find_if(entry_kinds.begin(), entry_kinds.end(),
                                    [&key = key](const EntryKind& k) { return k.list == key; });
    if (key == "primary_key" && value.is_object()) {
      check_entry_texts(value, prefix + "primary key", "", prefix);
    } else if (kind != entry_kinds.end() && value.is_array()) {
      std::size_t number = 0;
      for (const auto& item : value) {
        ++number;
        const auto name = item.find(kind->name_key);
        const bool named = name != item.end() && name->is_string();
        const auto item_subject = named
                                      ? fmt::format("{}{} '{}'", prefix, kind->entry,
                                                    shown_text(name->get_ref<const std::string&>()))
                                      : fmt::format("{}{} #{}", prefix, kind->entry, number);
        if (named && !core::is_valid_utf8(name->get_ref<const std::string&>())) {
          throw core::DocumentError(fmt::format("{}: name is not valid UTF-8", item_subject));
        }
        check_entry_texts(item, item_subject, kind->name_key, item_subject + ", ");
      }
    } else {
      check_texts(value, subject, key);
    }
  }
}

// ---- building the document ----

struct RelationEntry {
  std::string name;
  std::string type;  // "table", "virtual" or "view"
  bool without_rowid = false;
};

// Reads one schema with a fixed set of statements, prepared once and reused for
// every table.
class SchemaReader {
 public:
  SchemaReader(sqlite3* connection, std::string schema_name)
      : _connection(connection),
        _schema_name(std::move(schema_name)),
        _relations(connection,
                   "SELECT name, type, wr FROM pragma_table_list WHERE schema = ?1"
                   " AND type IN ('table', 'virtual', 'view')"
                   " AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\'"),
        _columns(connection,
                 "SELECT name, type, \"notnull\", dflt_value, pk, hidden"
                 " FROM pragma_table_xinfo(?1, ?2) ORDER BY cid"),
        _indexes(connection,
                 "SELECT name, \"unique\", origin, partial"
                 " FROM pragma_index_list(?1, ?2)"),
        _index_columns(connection,
                       "SELECT cid, name FROM pragma_index_xinfo(?1, ?2)"
                       " WHERE key = 1 ORDER BY seqno"),
        _foreign_keys(connection,
                      "SELECT id, \"table\", \"from\", \"to\", on_update, on_delete,"
                      " match FROM pragma_foreign_key_list(?1, ?2) ORDER BY id DESC, seq") {
    read_create_statements();
  }

  ordered_json read() {
    _relations.bind({_schema_name});
    while (_relations.step()) {
      _relation_entries.push_back(
          {_relations.text_or_empty(0), _relations.text_or_empty(1), _relations.integer(2) != 0});
    }
    std::sort(_relation_entries.begin(), _relation_entries.end(),
              [](const RelationEntry& a, const RelationEntry& b) { return a.name < b.name; });

    auto tables = ordered_json::array();
    auto views = ordered_json::array();
    for (const auto& relation : _relation_entries) {
      if (relation.type == "view") {
        views.push_back(read_view(relation));
      } else {
        tables.push_back(read_table(relation));
      }
    }
    auto document = core::make_object("schema_name", _schema_name, "tables", std::move(tables),
                                      "views", std::move(views), "comment", nullptr);
    const auto schema = fmt::format("schema '{}'", shown_text(_schema_name));
    if (!core::is_valid_utf8(_schema_name)) {
      throw core::DocumentError(fmt::format("{}: name is not valid UTF-8", schema));
    }
    check_entry_texts(document, schema, "schema_name", "");
    return document;
  }

 private:
  struct ColumnsRead {
    ordered_json columns = ordered_json::array();
    std::vector<std::string> primary_key;  // in key order
  };

  // Keeps the CREATE statement of every table, view and index of the schema; the
  // schema name was checked against the database list before it is quoted here.
  void read_create_statements() {
    const auto sql = fmt::format(
        "SELECT type, name, sql FROM {}.sqlite_schema"
        " WHERE type IN ('table', 'view', 'index') AND sql IS NOT NULL",
        core::detail::quote_identifier(_schema_name));
    Statement statement(_connection, sql);
    while (statement.step()) {
      const auto type = statement.text_or_empty(0);
      auto& target = type == "index" ? _index_sql : _relation_sql;
      target.emplace(statement.text_or_empty(1), statement.text_or_empty(2));
    }
  }

  ColumnsRead read_columns(const std::string& relation_name) {
    ColumnsRead read;
    std::vector<std::pair<std::int64_t, std::string>> key_columns;
    _columns.bind({relation_name, _schema_name});
    while (_columns.step()) {
      // 1 marks the hidden columns of a virtual table; 2 and 3 are generated columns.
      if (_columns.integer(5) == 1) continue;
      auto name = _columns.text_or_empty(0);
      if (_columns.integer(4) > 0) key_columns.emplace_back(_columns.integer(4), name);
      read.columns.push_back(
          core::make_object("name", std::move(name), "type", _columns.text_or_empty(1), "nullable",
                            _columns.integer(2) == 0, "default", nullable_text(_columns.text(3)),
                            "autoincrement", false, "comment", nullptr));
    }
    std::sort(key_columns.begin(), key_columns.end());
    for (auto& [position, name] : key_columns) read.primary_key.push_back(std::move(name));
    return read;
  }

  static ordered_json nullable_text(std::optional<std::string> text) {
    return text ? ordered_json(std::move(*text)) : ordered_json(nullptr);
  }

  ordered_json read_view(const RelationEntry& relation) {
    auto columns = ordered_json::array();
    if (const auto failure = compile_failure(relation.name)) {
      core::logging::warn(fmt::format(
          "view '{}': its definition does not compile ({}); its columns are unknown",
          core::escape_invalid_utf8(relation.name), core::escape_invalid_utf8(*failure)));
    } else {
      columns = std::move(read_columns(relation.name).columns);
    }
    const auto sql = _relation_sql.find(relation.name);
    return core::make_object(
        "view_name", relation.name, "definition",
        sql == _relation_sql.end() ? ordered_json(nullptr) : ordered_json(view_query(sql->second)),
        "comment", nullptr, "columns", std::move(columns));
  }

  // SQLite's reason why the query of view `view_name` does not compile (a table
  // or column it reads was dropped or renamed since), or nullopt when it does.
  // Its columns cannot be listed then: the pragma fails as the query would.
  [[nodiscard]] std::optional<std::string> compile_failure(const std::string& view_name) const {
    const auto sql =
        fmt::format("SELECT * FROM {}.{}", core::detail::quote_identifier(_schema_name),
                    core::detail::quote_identifier(view_name));
    sqlite3_stmt* raw = nullptr;
    const int result =
        sqlite3_prepare_v2(_connection, sql.c_str(), static_cast<int>(sql.size()), &raw, nullptr);
    const core::detail::SqliteStatement statement(raw);
    if (result == SQLITE_OK) return std::nullopt;
    // Anything but SQL that does not compile (no memory, a damaged file) fails the inspection.
    if ((result & 0xFF) != SQLITE_ERROR) {
      core::detail::throw_sqlite_error(result, _connection, "inspect schema", sql);
    }
    return std::string(sqlite3_errmsg(_connection));
  }

  ordered_json read_table(const RelationEntry& relation) {
    auto read = read_columns(relation.name);
    const auto sql = _relation_sql.find(relation.name);
    const auto declaration = sql == _relation_sql.end()
                                 ? TableDeclaration{}
                                 : TableDeclarationReader(sql->second).read();
    bool primary_key_has_index = false;
    auto indexes = read_indexes(relation.name, declaration, primary_key_has_index);

    // A rowid table whose one-column key needs no index of its own keys on the
    // rowid: the INTEGER PRIMARY KEY alias, which numbers new rows itself.
    const bool rowid_alias = relation.type == "table" && !relation.without_rowid &&
                             read.primary_key.size() == 1 && !primary_key_has_index;
    if (rowid_alias) {
      for (auto& column : read.columns) {
        if (column.at("name") == read.primary_key.front()) {
          column["autoincrement"] = true;
          column["nullable"] = false;  // SQLite numbers a NULL instead of storing it
        }
      }
    }
    ordered_json primary_key = nullptr;
    if (!read.primary_key.empty()) {
      primary_key = core::make_object("name", nullable_text(declaration.primary_key_name),
                                      "constrained_columns", read.primary_key);
    }
    return core::make_object("table_name", relation.name, "comment", nullptr, "columns",
                             std::move(read.columns), "primary_key", std::move(primary_key),
                             "foreign_keys", read_foreign_keys(relation.name, declaration),
                             "indexes", std::move(indexes));
  }

  ordered_json read_indexes(const std::string& table_name, const TableDeclaration& declaration,
                            bool& primary_key_has_index) {
    struct IndexEntry {
      std::string name;
      bool unique;
      std::string origin;
      bool partial;
    };
    std::vector<IndexEntry> entries;
    _indexes.bind({table_name, _schema_name});
    while (_indexes.step()) {
      entries.push_back({_indexes.text_or_empty(0), _indexes.integer(1) != 0,
                         _indexes.text_or_empty(2), _indexes.integer(3) != 0});
    }

    std::vector<std::pair<std::string, ordered_json>> indexes;
    for (const auto& entry : entries) {
      if (entry.origin == "pk") {
        primary_key_has_index = true;
        continue;
      }
      auto column_names = ordered_json::array();
      std::vector<std::string> plain_names;
      std::vector<bool> is_expression;
      _index_columns.bind({entry.name, _schema_name});
      while (_index_columns.step()) {
        // -2 marks an expression element; -1 the rowid.
        const bool expression = _index_columns.integer(0) == -2;
        is_expression.push_back(expression);
        auto name = expression ? std::nullopt : _index_columns.text(1);
        if (name) plain_names.push_back(*name);
        column_names.push_back(nullable_text(std::move(name)));
      }

      auto name = entry.name;
      if (entry.origin == "u") {
        // SQLite names the index of a UNIQUE constraint itself; a named constraint
        // gives its own name instead.
        const auto unique =
            std::find_if(declaration.uniques.begin(), declaration.uniques.end(),
                         [&](const UniqueDeclaration& u) {
                           return u.name && same_identifiers(u.columns, plain_names);
                         });
        if (unique != declaration.uniques.end()) name = *unique->name;
      }
      auto index = core::make_object("name", name, "column_names", std::move(column_names),
                                     "unique", entry.unique);

      const bool has_expression =
          std::find(is_expression.begin(), is_expression.end(), true) != is_expression.end();
      if (has_expression || entry.partial) {
        const auto sql = _index_sql.find(entry.name);
        const auto index_declaration =
            sql == _index_sql.end() ? IndexDeclaration{} : read_index_declaration(sql->second);
        if (has_expression) {
          auto expressions = ordered_json::array();
          for (std::size_t k = 0; k < is_expression.size(); ++k) {
            const bool known = is_expression[k] && k < index_declaration.elements.size();
            expressions.push_back(known ? ordered_json(index_declaration.elements[k])
                                        : ordered_json(nullptr));
          }
          index["expressions"] = std::move(expressions);
        }
        if (entry.partial && index_declaration.where) {
          index["dialect_options"] = core::make_object("sqlite_where", *index_declaration.where);
        }
      }
      indexes.emplace_back(std::move(name), std::move(index));
    }
    std::sort(indexes.begin(), indexes.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    auto result = ordered_json::array();
    for (auto& [name, index] : indexes) result.push_back(std::move(index));
    return result;
  }

  struct ForeignKeyEntry {
    std::string referred_table;
    std::vector<std::string> columns;
    std::vector<std::optional<std::string>> referred_columns;
    std::string on_update;
    std::string on_delete;
    std::string match;
  };

  ordered_json read_foreign_keys(const std::string& table_name,
                                 const TableDeclaration& declaration) {
    // SQLite lists the keys newest first; "ORDER BY id DESC" restores declaration order.
    std::vector<ForeignKeyEntry> entries;
    std::int64_t current_id = -1;
    _foreign_keys.bind({table_name, _schema_name});
    while (_foreign_keys.step()) {
      if (entries.empty() || _foreign_keys.integer(0) != current_id) {
        current_id = _foreign_keys.integer(0);
        entries.push_back({_foreign_keys.text_or_empty(1),
                           {},
                           {},
                           _foreign_keys.text_or_empty(4),
                           _foreign_keys.text_or_empty(5),
                           _foreign_keys.text_or_empty(6)});
      }
      entries.back().columns.push_back(_foreign_keys.text_or_empty(2));
      entries.back().referred_columns.push_back(_foreign_keys.text(3));
    }

    std::vector<bool> declaration_used(declaration.foreign_keys.size(), false);
    auto result = ordered_json::array();
    for (auto& entry : entries) {
      const ForeignKeyDeclaration* declared = nullptr;
      for (std::size_t k = 0; k < declaration.foreign_keys.size(); ++k) {
        const auto& candidate = declaration.foreign_keys[k];
        if (!declaration_used[k] &&
            same_identifier(candidate.referred_table, entry.referred_table) &&
            same_identifiers(candidate.columns, entry.columns)) {
          declaration_used[k] = true;
          declared = &candidate;
          break;
        }
      }

      auto referred_columns = ordered_json::array();
      const bool omitted = std::all_of(entry.referred_columns.begin(), entry.referred_columns.end(),
                                       [](const auto& column) { return !column.has_value(); });
      if (omitted) {
        // Without parent columns the key refers to the parent's primary key.
        for (auto& column : parent_primary_key(entry.referred_table))
          referred_columns.push_back(column);
      } else {
        for (auto& column : entry.referred_columns)
          referred_columns.push_back(nullable_text(column));
      }

      auto options = ordered_json::object();
      if (entry.on_delete != "NO ACTION") options["ondelete"] = entry.on_delete;
      if (entry.on_update != "NO ACTION") options["onupdate"] = entry.on_update;
      if (declared != nullptr && declared->deferrable) {
        options["deferrable"] = true;
        options["initially"] = declared->initially_deferred ? "DEFERRED" : "IMMEDIATE";
      }
      if (entry.match != "NONE" && entry.match != "SIMPLE") options["match"] = entry.match;

      result.push_back(core::make_object(
          "name", declared != nullptr ? nullable_text(declared->name) : ordered_json(nullptr),
          "constrained_columns", entry.columns, "referred_schema", _schema_name, "referred_table",
          entry.referred_table, "referred_columns", std::move(referred_columns), "options",
          std::move(options)));
    }
    return result;
  }

  // The primary key columns of a table of this schema; empty when it has none or
  // does not exist. Runs after the table's own columns are read, so the column
  // statement is free.
  std::vector<std::string> parent_primary_key(const std::string& table_name) {
    const auto cached = _parent_keys.find(table_name);
    if (cached != _parent_keys.end()) return cached->second;
    // A view has no primary key, and one that does not compile cannot be read.
    const bool view = std::any_of(
        _relation_entries.begin(), _relation_entries.end(), [&](const RelationEntry& relation) {
          return relation.type == "view" && same_identifier(relation.name, table_name);
        });
    if (view) return {};
    auto key = read_columns(table_name).primary_key;
    _parent_keys.emplace(table_name, key);
    return key;
  }

  sqlite3* _connection;
  std::string _schema_name;
  Statement _relations;
  Statement _columns;
  Statement _indexes;
  Statement _index_columns;
  Statement _foreign_keys;
  std::vector<RelationEntry> _relation_entries;  // sorted by name
  std::map<std::string, std::string, std::less<>> _relation_sql;
  std::map<std::string, std::string, std::less<>> _index_sql;
  std::map<std::string, std::vector<std::string>, std::less<>> _parent_keys;
};

bool schema_exists(sqlite3* connection, const std::string& schema_name) {
  // "temp" is always there; SQLite lists it only once something has used it.
  if (schema_name == "temp") return true;
  Statement statement(connection, "SELECT 1 FROM pragma_database_list WHERE name = ?1");
  statement.bind({schema_name});
  return statement.step();
}

}  // namespace

SqliteInspector::SqliteInspector(const std::string& engine_name) : _connection(nullptr) {
  const auto path = core::sqlite_path_from_url(engine_name);
  const auto shown = core::redact_password(engine_name);
  std::error_code error;
  if (!path.empty() && !std::filesystem::is_regular_file(path, error)) {
    // The path is all of the URL after "sqlite:///": shown as the redacted URL has it.
    throw core::ConfigurationError(fmt::format("engine '{}': no SQLite database file at '{}'",
                                               shown, core::sqlite_path_from_url(shown)));
  }
  // The connection is this inspector's own and used by one thread at a time:
  // SQLite need not lock it around every call.
  _owned_connection = core::detail::open_sqlite(path.empty() ? ":memory:" : path,
                                                SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                                                fmt::format("open engine '{}' read-only", shown));
  _connection = _owned_connection.get();
}

SqliteInspector::SqliteInspector(sqlite3* connection) : _connection(connection) {}

std::optional<nlohmann::ordered_json> SqliteInspector::get_schema(
    const std::optional<std::string>& schema_name) {
  const auto name = schema_name.value_or("main");
  // All reads share one read transaction, so the document is one snapshot. A
  // savepoint also nests inside a transaction the owner of a borrowed connection
  // may have open.
  run(_connection, "SAVEPOINT kelmarion_inspect");
  try {
    std::optional<nlohmann::ordered_json> document;
    if (schema_exists(_connection, name)) document = SchemaReader(_connection, name).read();
    run(_connection, "RELEASE kelmarion_inspect");
    return document;
  } catch (const core::Error&) {
    // The error being reported matters more than a failure to end a read-only
    // savepoint, which leaves nothing behind.
    sqlite3_exec(_connection, "ROLLBACK TO kelmarion_inspect; RELEASE kelmarion_inspect", nullptr,
                 nullptr, nullptr);
    throw;
  }
}

std::unique_ptr<SchemaInspector> make_sqlite_inspector(const std::string& engine_name) {
  return std::make_unique<SqliteInspector>(engine_name);
}

}  // namespace kelmarion::meta::detail
