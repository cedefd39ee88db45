#include "kelmarion_core/detail/sql_render.h"

#include <fmt/format.h>

#include "kelmarion_core/errors.h"

namespace kelmarion::core::detail {
namespace {

std::string placeholder(Dialect dialect, int number) {
  return dialect == Dialect::sqlite ? fmt::format("?{}", number) : fmt::format("${}", number);
}

std::string column_list(const RecordClass& record_class) {
  std::string list;
  for (const auto& field : record_class.fields()) {
    if (!list.empty()) list += ", ";
    list += quote_identifier(field.name);
  }
  return list;
}

}  // namespace

std::string quote_identifier(std::string_view name) {
  std::string quoted = "\"";
  for (const char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

RenderedSql render_where(const RecordClass& record_class, const Condition& condition,
                         Dialect dialect, int first_parameter) {
  RenderedSql where;
  int number = first_parameter;
  for (const auto& term : condition.terms()) {
    if (!term) throw Error("lookup condition with an absent term cannot be rendered");
    const auto index = record_class.field_index(term->field_name);
    if (term->table_name != record_class.table_name() || !index) {
      throw Error(fmt::format("lookup on '{}' with a predicate on '{}.{}'",
                              record_class.table_name(), term->table_name, term->field_name));
    }
    if (!where.sql.empty()) where.sql += " AND ";
    where.sql += quote_identifier(term->field_name);
    const auto& field = record_class.fields()[*index];
    auto value = to_sql_value(record_class.table_name(), field.name, field.kind, term->value);
    if (std::holds_alternative<std::monostate>(value)) {
      where.sql += " IS NULL";
      continue;
    }
    where.sql += " = " + placeholder(dialect, number++);
    where.parameters.push_back(std::move(value));
  }
  if (where.sql.empty()) where.sql = "TRUE";
  return where;
}

RenderedSql render_select_first(const RecordClass& record_class, const Condition& condition,
                                Dialect dialect) {
  auto where = render_where(record_class, condition, dialect);
  where.sql = fmt::format("SELECT {} FROM {} WHERE {} ORDER BY {} LIMIT 1",
                          column_list(record_class), quote_identifier(record_class.table_name()),
                          where.sql, quote_identifier(record_class.id_field()));
  return where;
}

RenderedSql render_select_first_id(const RecordClass& record_class, const Condition& condition,
                                   Dialect dialect) {
  auto where = render_where(record_class, condition, dialect);
  const auto id = quote_identifier(record_class.id_field());
  where.sql = fmt::format("SELECT {} FROM {} WHERE {} ORDER BY {} LIMIT 1", id,
                          quote_identifier(record_class.table_name()), where.sql, id);
  return where;
}

RenderedSql render_select_all(const RecordClass& record_class, const Condition& condition,
                              Dialect dialect) {
  auto where = render_where(record_class, condition, dialect);
  where.sql = fmt::format("SELECT {} FROM {} WHERE {} ORDER BY {}", column_list(record_class),
                          quote_identifier(record_class.table_name()), where.sql,
                          quote_identifier(record_class.id_field()));
  return where;
}

std::string render_insert(const RecordClass& record_class, std::uint64_t mask, Dialect dialect,
                          Returning returning) {
  std::string columns;
  std::string values;
  int number = 1;
  const auto fields = record_class.fields();
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if ((mask & (std::uint64_t{1} << i)) == 0) continue;
    if (!columns.empty()) {
      columns += ", ";
      values += ", ";
    }
    columns += quote_identifier(fields[i].name);
    values += placeholder(dialect, number++);
  }
  const auto table = quote_identifier(record_class.table_name());
  const auto returned = returning == Returning::every_field
                            ? fmt::format(" RETURNING {}", column_list(record_class))
                            : std::string();
  if (columns.empty()) return fmt::format("INSERT INTO {} DEFAULT VALUES{}", table, returned);
  return fmt::format("INSERT INTO {} ({}) VALUES ({}){}", table, columns, values, returned);
}

std::string render_update(const RecordClass& record_class, std::uint64_t mask, Dialect dialect,
                          Returning returning) {
  std::string assignments;
  int number = 1;
  const auto fields = record_class.fields();
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if ((mask & (std::uint64_t{1} << i)) == 0) continue;
    if (!assignments.empty()) assignments += ", ";
    assignments += quote_identifier(fields[i].name) + " = " + placeholder(dialect, number++);
  }
  const auto table = quote_identifier(record_class.table_name());
  const auto id = quote_identifier(record_class.id_field());
  if (assignments.empty()) {
    return fmt::format("SELECT {} FROM {} WHERE {} = {}", column_list(record_class), table, id,
                       placeholder(dialect, number));
  }
  const auto returned = returning == Returning::every_field
                            ? fmt::format(" RETURNING {}", column_list(record_class))
                            : std::string();
  return fmt::format("UPDATE {} SET {} WHERE {} = {}{}", table, assignments, id,
                     placeholder(dialect, number), returned);
}

std::string render_delete(const RecordClass& record_class, Dialect dialect) {
  return fmt::format("DELETE FROM {} WHERE {} = {}", quote_identifier(record_class.table_name()),
                     quote_identifier(record_class.id_field()), placeholder(dialect, 1));
}

}  // namespace kelmarion::core::detail
