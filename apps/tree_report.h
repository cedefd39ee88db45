#pragma once

// A readable outline of a stored schema, for `kelmarion-meta show`:
//
//   schema 'main' (engine sqlite:///shop.db): 6 tables, 1 view
//     table customers
//       columns
//         customer_id  INTEGER  not null, autoincrement
//         email        TEXT     not null
//       primary key (customer_id)
//       unique index sqlite_autoindex_customers_1 (email)
//       referenced by orders (customer_id)
//     view order_totals
//       columns ...

#include <ostream>

#include "apps/stored_schema.h"

namespace kelmarion::apps {

// Writes the outline of `schema`: its tables with their columns, primary key,
// foreign keys, indexes and the foreign keys of this schema that reference
// them, then its views with their columns; in the stored order. Names and
// comments are shown through escaped_text().
void write_tree(std::ostream& output, const StoredSchema& schema);

}  // namespace kelmarion::apps
