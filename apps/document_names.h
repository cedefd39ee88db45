#pragma once

// The names a save looks records up by must be texts. The library stores
// whatever JSON value a document holds under a name key; the tool refuses a
// number, null, list or object there before anything is written, so that a typo
// in a hand-written document cannot become a table named 7.

#include "kelmarion_meta/tools/source_store.h"

namespace kelmarion::apps {

// Checks `table_name` and `view_name` of every table and view and `name` of
// every column of `document`. Throws core::DocumentTypeError naming the key and
// the entry, e.g. "key 'name' of table 'orders', column #2: expected a text,
// got a number". Missing keys and entries of the wrong kind are left to the
// save, which names them in the same way.
void check_names(const meta::Document& document);

}  // namespace kelmarion::apps
