#include "kelmarion_core/detail/postgresql_statements.h"

#include <fmt/format.h>

#include "kelmarion_core/detail/sql_render.h"

namespace kelmarion::core::detail {

namespace {

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

std::string render_insert_many(const RecordClass& record_class, std::uint64_t mask) {
  const auto fields = record_class.fields();
  std::string columns = quote_identifier(record_class.id_field());
  std::string arrays = "$1::bigint[]";
  int number = 1;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if ((mask & (std::uint64_t{1} << i)) == 0) continue;
    columns += ", " + quote_identifier(fields[i].name);
    arrays += fmt::format(", ${}::{}", ++number, array_type(fields[i].kind));
  }
  return fmt::format("INSERT INTO {} ({}) SELECT * FROM unnest({})",
                     quote_identifier(record_class.table_name()), columns, arrays);
}

std::string render_quiet_update(const RecordClass& record_class, std::uint64_t mask) {
  const auto fields = record_class.fields();
  std::string assignments;
  int number = 0;
  for (std::size_t i = 1; i < fields.size(); ++i) {
    if ((mask & (std::uint64_t{1} << i)) == 0) continue;
    if (!assignments.empty()) assignments += ", ";
    assignments += fmt::format("{} = ${}", quote_identifier(fields[i].name), ++number);
  }
  return fmt::format("UPDATE {} SET {} WHERE {} = ${}", quote_identifier(record_class.table_name()),
                     assignments, quote_identifier(record_class.id_field()), number + 1);
}

std::string array_literal(const std::vector<const SqlValue*>& values) {
  std::string literal = "{";
  for (const auto* value : values) {
    if (literal.size() > 1) literal += ',';
    if (const auto* integer = std::get_if<std::int64_t>(value)) {
      literal += std::to_string(*integer);
    } else if (const auto* text = std::get_if<std::string>(value)) {
      literal += '"';
      for (const char c : *text) {
        if (c == '"' || c == '\\') literal += '\\';
        literal += c;
      }
      literal += '"';
    } else {
      literal += "NULL";
    }
  }
  literal += '}';
  return literal;
}

std::string render_select_children(const RecordClass& record_class, std::size_t link_field) {
  std::string columns;
  for (const auto& field : record_class.fields()) {
    if (!columns.empty()) columns += ", ";
    columns += quote_identifier(field.name);
  }
  return fmt::format("SELECT {} FROM {} WHERE {} = ANY($1::bigint[]) ORDER BY {}", columns,
                     quote_identifier(record_class.table_name()),
                     quote_identifier(record_class.fields()[link_field].name),
                     quote_identifier(record_class.id_field()));
}

std::string render_stored_children_check(const RecordClass& record_class, std::size_t link_field) {
  return fmt::format("SELECT 1 FROM {} WHERE {} >= $1 AND {} < $2 LIMIT 1",
                     quote_identifier(record_class.table_name()),
                     quote_identifier(record_class.fields()[link_field].name),
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
