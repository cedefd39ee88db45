#include "kelmarion_core/detail/sql_render.h"

#include <fmt/format.h>

#include "kelmarion_core/detail/store_connection.h"
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

bool in_mask(std::uint64_t mask, std::size_t field) {
  return (mask & (std::uint64_t{1} << field)) != 0;
}

std::string_view array_type(FieldKind kind) {
  switch (kind) {
    case FieldKind::integer:
      return "bigint[]";
    case FieldKind::boolean:
      return "boolean[]";
    case FieldKind::json:
      return "jsonb[]";
    case FieldKind::text:
      break;
  }
  return "text[]";
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

RenderedSql render_select_all(const RecordClass& record_class, const Condition& condition,
                              Dialect dialect) {
  auto where = render_where(record_class, condition, dialect);
  where.sql = fmt::format("SELECT {} FROM {} WHERE {} ORDER BY {}", column_list(record_class),
                          quote_identifier(record_class.table_name()), where.sql,
                          quote_identifier(record_class.id_field()));
  return where;
}

std::string render_select_children(const RecordClass& record_class, std::size_t link_field,
                                   Dialect dialect) {
  const auto link = quote_identifier(record_class.fields()[link_field].name);
  const auto among =
      dialect == Dialect::sqlite ? "IN (SELECT value FROM json_each(?1))" : "= ANY($1::bigint[])";
  return fmt::format("SELECT {} FROM {} WHERE {} {}", column_list(record_class),
                     quote_identifier(record_class.table_name()), link, among);
}

std::string render_refers_to_any(const RecordClass& record_class, std::size_t link_field,
                                 Dialect dialect) {
  // A range, which the link's index answers at once; a list compared row by
  // row made the server scan the table for every block of new parents.
  return fmt::format("SELECT 1 FROM {} WHERE {} BETWEEN {} AND {} LIMIT 1",
                     quote_identifier(record_class.table_name()),
                     quote_identifier(record_class.fields()[link_field].name),
                     placeholder(dialect, 1), placeholder(dialect, 2));
}

std::string render_ids_under(const RecordClass& record_class, const std::vector<ParentStep>& path,
                             Dialect dialect) {
  std::string sql =
      fmt::format("SELECT s0.{} FROM {} AS s0", quote_identifier(record_class.id_field()),
                  quote_identifier(record_class.table_name()));
  const RecordClass* from = &record_class;
  for (std::size_t step = 0; step + 1 < path.size(); ++step) {
    const auto* parent = path[step].parent;
    sql += fmt::format(" JOIN {} AS s{} ON s{}.{} = s{}.{}", quote_identifier(parent->table_name()),
                       step + 1, step, quote_identifier(from->fields()[path[step].link_field].name),
                       step + 1, quote_identifier(parent->id_field()));
    from = parent;
  }
  const auto last = path.size() - 1;
  sql += fmt::format(" WHERE s{}.{} = {}", last,
                     quote_identifier(from->fields()[path[last].link_field].name),
                     placeholder(dialect, 1));
  return sql;
}

std::string render_insert_rows(const RecordClass& record_class, std::size_t rows) {
  const auto field_count = record_class.fields().size();
  std::string values;
  int number = 0;
  for (std::size_t row = 0; row < rows; ++row) {
    values += row == 0 ? "(" : ", (";
    for (std::size_t i = 0; i < field_count; ++i) {
      if (i != 0) values += ", ";
      values += placeholder(Dialect::sqlite, ++number);
    }
    values += ')';
  }
  return fmt::format("INSERT INTO {} ({}) VALUES {}", quote_identifier(record_class.table_name()),
                     column_list(record_class), values);
}

std::string render_update_row(const RecordClass& record_class, std::uint64_t mask) {
  std::string assignments;
  int number = 1;
  const auto fields = record_class.fields();
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if (!in_mask(mask, i)) continue;
    if (!assignments.empty()) assignments += ", ";
    assignments +=
        quote_identifier(fields[i].name) + " = " + placeholder(Dialect::sqlite, number++);
  }
  return fmt::format("UPDATE {} SET {} WHERE {} = {}", quote_identifier(record_class.table_name()),
                     assignments, quote_identifier(record_class.id_field()),
                     placeholder(Dialect::sqlite, number));
}

std::string render_delete_row(const RecordClass& record_class) {
  return fmt::format("DELETE FROM {} WHERE {} = ?1", quote_identifier(record_class.table_name()),
                     quote_identifier(record_class.id_field()));
}

std::string render_insert_arrays(const RecordClass& record_class) {
  const auto fields = record_class.fields();
  std::string arrays;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) arrays += ", ";
    arrays += fmt::format("${}::{}", i + 1, array_type(fields[i].kind));
  }
  return fmt::format("INSERT INTO {} ({}) SELECT * FROM unnest({})",
                     quote_identifier(record_class.table_name()), column_list(record_class),
                     arrays);
}

std::string render_update_arrays(const RecordClass& record_class, std::uint64_t mask) {
  const auto fields = record_class.fields();
  const auto id = quote_identifier(record_class.id_field());
  std::string arrays = "$1::bigint[]";
  std::string names = id;
  std::string assignments;
  std::string stored;
  std::string given;
  int number = 1;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if (!in_mask(mask, i)) continue;
    const auto name = quote_identifier(fields[i].name);
    arrays += fmt::format(", ${}::{}", ++number, array_type(fields[i].kind));
    names += ", " + name;
    if (!assignments.empty()) {
      assignments += ", ";
      stored += ", ";
      given += ", ";
    }
    assignments += fmt::format("{} = given.{}", name, name);
    stored += "row_now." + name;
    given += "given." + name;
  }
  // Rows that already hold the values are left alone: no new row version, no trigger.
  return fmt::format(
      "UPDATE {} AS row_now SET {} FROM unnest({}) AS given({}) WHERE row_now.{} = given.{} AND "
      "ROW({}) IS DISTINCT FROM ROW({})",
      quote_identifier(record_class.table_name()), assignments, arrays, names, id, id, stored,
      given);
}

std::string render_delete_array(const RecordClass& record_class) {
  return fmt::format("DELETE FROM {} WHERE {} = ANY($1::bigint[])",
                     quote_identifier(record_class.table_name()),
                     quote_identifier(record_class.id_field()));
}

std::string render_reserve_identifiers() {
  // The sequence is looked up once, in a subquery the planner keeps apart
  // (OFFSET 0): written inside nextval() it is looked up again for every row,
  // which costs ten times what nextval() does.
  return "SELECT nextval(seq) FROM (SELECT pg_get_serial_sequence($1, $2)::regclass AS seq "
         "OFFSET 0) AS sequence, generate_series(1, $3::integer)";
}

}  // namespace kelmarion::core::detail
