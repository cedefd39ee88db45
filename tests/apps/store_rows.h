#pragma once

// Reads a store database directly, past the tool and the library, so that tests
// can tell whether a command changed it or what exactly it holds.
//
// A location is a SQLite file path (or a "sqlite:///" URL) or a PostgreSQL URL;
// on PostgreSQL the store is the tables of the connection's current schema (the
// first schema of its search_path).

#include <cstdint>
#include <string>
#include <vector>

namespace kelmarion::testing {

// Every row of every table of the store, one text per row, in a fixed order:
// the tables by name, then each table's rows sorted. A row starts with its
// table's name, and tells every value's type apart (SQLite: a storage class tag
// per value; PostgreSQL: the row's record text), so that 1 and '1' differ. The
// layout (SQLite's sqlite_schema, PostgreSQL's column list) comes first.
// Throws std::runtime_error when the store cannot be read.
[[nodiscard]] std::vector<std::string> store_rows(const std::string& location);

// A checksum (64-bit FNV-1a, as hex) of store_rows(), with the number of rows:
// "3f2a...(42 rows)".
[[nodiscard]] std::string store_checksum(const std::string& location);

// The first column of every row `sql` returns, as text; SQL NULL as "<null>".
[[nodiscard]] std::vector<std::string> store_query(const std::string& location,
                                                   const std::string& sql);

}  // namespace kelmarion::testing
