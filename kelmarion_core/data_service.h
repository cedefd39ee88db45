#pragma once

// DataService writes records through a session.
//
// Record data is a JSON object from field name to value; keys that are not
// fields of the record class are ignored, and the identifier field is never
// taken from the data (the database assigns it). Values are converted by field
// kind (see record.h); a value that does not fit its field throws
// DocumentTypeError naming the table and field.

#include <asio/awaitable.hpp>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>

#include "kelmarion_core/record.h"

namespace kelmarion::core {

class AsyncSession;

class DataService {
 public:
  // Stores a new record built from `create_model` and returns it: the given
  // fields, converted by kind, and its identifier, readable at once. Inside a
  // transaction the write is queued (see AsyncSession); outside one it is
  // committed before the call returns. Runs on the calling thread.
  // Throws ConfigurationError when `db` is null, DatabaseError when the store fails.
  [[nodiscard]] static Record db_insert(AsyncSession* db, const RecordClass& model_class,
                                        const nlohmann::ordered_json& create_model);

  // Sets the fields present in `update_model` on the record whose identifier is
  // `primary_id`, keeping the other fields and the identifier, and yields the
  // record as this session last read or wrote it with those fields applied.
  // When every given field already holds its value, nothing is written.
  // `db` and `update_model` are borrowed until the awaited call completes. Throws
  // ConfigurationError when `db` is null, DatabaseError when the store fails or holds no such
  // record.
  [[nodiscard]] static asio::awaitable<Record> db_update(
      AsyncSession* db, std::int64_t primary_id, const RecordClass& model_class,
      const nlohmann::ordered_json& update_model);

  // Deletes the record whose identifier is `primary_id`, if there is one. Same
  // errors as db_update, but a missing record is not one.
  [[nodiscard]] static asio::awaitable<void> db_delete(AsyncSession* db, std::int64_t primary_id,
                                                       const RecordClass& model_class);
};

}  // namespace kelmarion::core
