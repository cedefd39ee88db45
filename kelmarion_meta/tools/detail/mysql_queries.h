#pragma once

// The statements the MySQL inspector sends, in this order, for every database
// whatever its size: one binds the database name, the others read
// information_schema. The benchmark's floor sends the same ones.

#include <string_view>

namespace kelmarion::meta::detail::mysql_queries {

// The one statement that takes a value: the rest read it from the session
// variable, which the server still uses to open only that database's directory.
inline constexpr std::string_view bind_schema = "SET @kelmarion_schema = ?";

inline constexpr std::string_view schema_query =
    "SELECT SCHEMA_NAME FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = "
    "@kelmarion_schema";

inline constexpr std::string_view tables_query = R"sql(
SELECT TABLE_NAME, TABLE_TYPE, TABLE_COMMENT FROM information_schema.TABLES
WHERE TABLE_SCHEMA = @kelmarion_schema
  AND TABLE_TYPE IN ('BASE TABLE', 'SYSTEM VERSIONED', 'VIEW')
ORDER BY CAST(TABLE_NAME AS BINARY))sql";

inline constexpr std::string_view views_query = R"sql(
SELECT TABLE_NAME, VIEW_DEFINITION FROM information_schema.VIEWS
WHERE TABLE_SCHEMA = @kelmarion_schema)sql";

inline constexpr std::string_view columns_query = R"sql(
SELECT TABLE_NAME, COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_DEFAULT, EXTRA, COLUMN_COMMENT,
  GENERATION_EXPRESSION, DATA_TYPE
FROM information_schema.COLUMNS
WHERE TABLE_SCHEMA = @kelmarion_schema
ORDER BY TABLE_NAME, ORDINAL_POSITION)sql";

// The primary key and the foreign keys, one row per column in constraint order.
inline constexpr std::string_view keys_query = R"sql(
SELECT TABLE_NAME, CONSTRAINT_NAME, COLUMN_NAME, REFERENCED_TABLE_SCHEMA, REFERENCED_TABLE_NAME,
  REFERENCED_COLUMN_NAME
FROM information_schema.KEY_COLUMN_USAGE
WHERE TABLE_SCHEMA = @kelmarion_schema
  AND (CONSTRAINT_NAME = 'PRIMARY' OR REFERENCED_TABLE_NAME IS NOT NULL)
ORDER BY TABLE_NAME, CAST(CONSTRAINT_NAME AS BINARY), ORDINAL_POSITION)sql";

inline constexpr std::string_view rules_query = R"sql(
SELECT TABLE_NAME, CONSTRAINT_NAME, UPDATE_RULE, DELETE_RULE
FROM information_schema.REFERENTIAL_CONSTRAINTS
WHERE CONSTRAINT_SCHEMA = @kelmarion_schema)sql";

inline constexpr std::string_view indexes_query = R"sql(
SELECT TABLE_NAME, INDEX_NAME, NON_UNIQUE, COLUMN_NAME, SUB_PART, COLLATION, INDEX_TYPE
FROM information_schema.STATISTICS
WHERE TABLE_SCHEMA = @kelmarion_schema AND INDEX_NAME <> 'PRIMARY'
ORDER BY TABLE_NAME, CAST(INDEX_NAME AS BINARY), SEQ_IN_INDEX)sql";

// The reads after bind_schema, in the order the inspector sends them.
inline constexpr std::string_view catalog_reads[] = {
    schema_query, tables_query, views_query, columns_query, rules_query, keys_query, indexes_query};

}  // namespace kelmarion::meta::detail::mysql_queries
