#pragma once

// The PostgreSQL backend of a session, through libpq in non-blocking mode: an
// awaited operation sends its statement, then waits for the server on the
// connection's socket through the awaiting coroutine's executor, so the host's
// other coroutines run meanwhile. The plain insert call runs the same exchange
// on a private event loop and blocks its caller until it is done.
//
// Before its first use of a record table the connection checks the store's
// layout (see check_store_layout()); a missing table is then created under a
// transaction-scoped advisory lock, taken only when something must be created,
// so that concurrent first saves do not race while later saves never wait for
// each other. Every lock wait is bounded by the session's lock timeout.
// Statements are prepared once per session.
//
// Inside a transaction, a write whose stored result is known on this side (see
// TransactionMirror and postgresql_stored_value) and that cannot break a unique
// index is not waited for: it is queued, and every few hundred queued writes go
// down a pipeline without waiting for their results, so the server works
// through them meanwhile. The next statement that needs an answer (or the
// commit) ends the pipeline and hears out every result first; a refused write
// fails that call. Identifiers of new records are reserved from their sequence
// ahead of use. A write the server might refuse, or whose result is not known
// here, first sends the queue and then runs on its own, so a refusal is
// reported by the call that made it. Outside a transaction every write runs at
// once.

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "kelmarion_core/detail/postgresql_handle.h"
#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/detail/store_schema.h"
#include "kelmarion_core/detail/transaction_mirror.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/session.h"

namespace kelmarion::core::detail {

class PostgresqlConnection final : public StoreConnection, private QuickStore {
 public:
  // Connects (blocking). `location` is the URL without its password.
  PostgresqlConnection(const std::string& url, std::string location,
                       const SessionOptions& options);

  [[nodiscard]] Dialect dialect() const noexcept override { return Dialect::postgresql; }
  [[nodiscard]] asio::awaitable<std::optional<Record>> find_first(
      const RecordClass& record_class, const Condition& condition) override;
  [[nodiscard]] asio::awaitable<std::vector<Record>> find_all(const RecordClass& record_class,
                                                              const Condition& condition) override;
  [[nodiscard]] Record insert(const RecordClass& record_class,
                              const nlohmann::ordered_json& data) override;
  [[nodiscard]] asio::awaitable<Record> update(const RecordClass& record_class, std::int64_t id,
                                               const nlohmann::ordered_json& data) override;
  asio::awaitable<void> remove(const RecordClass& record_class, std::int64_t id) override;
  asio::awaitable<void> execute(std::string_view sql) override;
  asio::awaitable<void> lock(std::string_view key) override;
  [[nodiscard]] bool in_transaction() const noexcept override;
  // Answers from what this transaction knows; declines where the server must answer.
  [[nodiscard]] QuickStore* quick() noexcept override { return this; }
  [[nodiscard]] bool find_first_quickly(const RecordClass& record_class, const Condition& condition,
                                        std::optional<Record>& result) override;
  [[nodiscard]] bool update_quickly(const RecordClass& record_class, std::int64_t id,
                                    const nlohmann::ordered_json& data,
                                    std::optional<Record>& result) override;

 private:
  // The script that creates a record class's table and indexes under the lock,
  // and the version table first when `layout` has none.
  [[nodiscard]] std::string _table_script(const RecordClass& record_class,
                                          const StoreLayout& layout) const;
  // Whether `record_class`'s table exists, creating it when missing unless the
  // connection is read-only, after checking the store's layout.
  asio::awaitable<bool> _ensure_table(const RecordClass& record_class);
  asio::awaitable<void> _create_table(const RecordClass& record_class);
  void _ensure_table_now(const RecordClass& record_class);
  asio::awaitable<StoreLayout> _read_layout();
  // ConfigurationError for a write on a read-only connection.
  void _refuse_write(const RecordClass& record_class) const;
  // `error` (a lock wait that ran out, SQLSTATE 55P03) said in terms of what
  // was waited for; any other error as it is.
  [[nodiscard]] DatabaseError _lock_wait_failure(const DatabaseError& error,
                                                 std::string_view waited_for) const;
  // Runs `sql` with `parameters` as a prepared statement and returns its result.
  asio::awaitable<PgResult> _run(const std::string& sql, const std::vector<SqlValue>& parameters,
                                 std::string_view what);
  // The same, blocking the caller.
  PgResult _run_now(const std::string& sql, const std::vector<SqlValue>& parameters,
                    std::string_view what);
  // Runs `sql`, which may hold several statements, without parameters.
  asio::awaitable<PgResult> _run_script(const std::string& sql, std::string_view what);
  // Sends what libpq has buffered, then collects the results of the statement.
  asio::awaitable<PgResult> _finish(const std::string& sql, std::string_view what);
  asio::awaitable<void> _wait_for_socket(bool for_writing);
  // The name of the statement prepared for `sql`, preparing it on first use.
  asio::awaitable<std::string> _prepared_name(const std::string& sql);
  const std::string& _prepared_name_now(const std::string& sql);
  [[nodiscard]] Record _read_row(const RecordClass& record_class, const pg_result* result,
                                 int row) const;
  [[nodiscard]] std::vector<Record> _read_rows(const RecordClass& record_class,
                                               const pg_result* result) const;

  // A write queued to be sent later: queued writes of one class and the same
  // fields go to the server as one statement.
  struct QueuedWrite {
    const RecordClass* record_class;
    std::uint64_t mask;  // the fields given, as in FieldValues
    bool insert;
    std::int64_t id;
    std::vector<SqlValue> values;  // of the fields given, in field order
  };
  // One statement that carries queued writes: the inserts of one class and set
  // of fields (its parameters are arrays), or one update.
  struct Batch {
    const std::string* sql;  // owned by _sql_texts
    std::size_t first;       // its parameters: Batches::values[first, first + count)
    std::size_t count;
    std::string_view table;
  };
  // The statements of one flush and the parameter texts they point into, made
  // at their final size: a flush of thousands of updates costs a few
  // allocations, not several per update.
  struct Batches {
    std::vector<Batch> list;
    std::vector<std::string> arrays;  // the inserts' array literals (reserved: none moves)
    std::unique_ptr<char[]> numbers;  // integer parameters as NUL-terminated text
    std::vector<const char*> values;  // every parameter, as libpq takes it (null: NULL)
  };
  [[nodiscard]] Batches _batches(const std::vector<QueuedWrite>& writes);
  // Whether writes may be queued now: inside a healthy transaction.
  [[nodiscard]] bool _queueing() const noexcept;
  void _queue(QueuedWrite write);
  // Whether writes wait to be sent or for their results: the server must hear
  // them out before any other statement.
  [[nodiscard]] bool _pending() const noexcept { return !_queued.empty() || _in_pipeline; }
  // Once enough writes wait, sends them on without waiting for their results,
  // so that the server works through them while this side goes on.
  void _send_ahead_if_due();
  // Sends the queued writes down the pipeline (entering it when needed).
  void _send_queued();
  // A command sent in pipeline mode whose results are not all read yet.
  enum class SentKind : std::uint8_t { prepare, write, answer };
  struct Sent {
    SentKind kind;
    const std::string* sql;
    std::string statement;   // a prepare's: the name it defines
    std::string_view table;  // a write's
    PgResult result;         // its first result, once read
  };
  // The name of the statement prepared for `text`, preparing it down the pipeline.
  std::string _pipeline_statement(const std::string& text);
  // Takes the results libpq holds whole, in order: a refusal is kept for
  // _send_queue to report, the result of the answer goes to `answer`. True
  // when every command sent has its results.
  bool _take_results(PgResult& answer);
  // Waits until libpq holds a whole result to hand out, reading the socket.
  asio::awaitable<void> _await_whole_result(const std::string* sql);
  // Ends the pipeline: sends the queued writes, then `sql` (when given), then
  // waits for every result; returns the result of `sql`. The first refused
  // command is reported as its own failure, unless `report` is false (the
  // writes are being rolled back).
  asio::awaitable<PgResult> _send_queue(const std::string* sql,
                                        const std::vector<SqlValue>* parameters,
                                        std::string_view what, bool report = true);
  [[nodiscard]] DatabaseError _lost(std::string_view doing, const std::string* sql);
  // _run, after the queued writes.
  asio::awaitable<PgResult> _run_after_queue(const std::string& sql,
                                             const std::vector<SqlValue>& parameters,
                                             std::string_view what);
  asio::awaitable<void> _flush_queue();
  // The same, blocking the caller.
  void _flush_queue_now();
  // The values a lookup by `condition` compares with, as stored here; nullopt
  // when only the server can compare them.
  [[nodiscard]] std::optional<TransactionMirror::Expected> _expected(
      const RecordClass& record_class, const Condition& condition) const;
  // A lookup that this transaction's mirror can answer: the values it compares
  // with and the children among which its matches are.
  struct KnownLookup {
    TransactionMirror::Expected expected;
    TransactionMirror::ChildSet set;
  };
  [[nodiscard]] std::optional<KnownLookup> _known_lookup(const RecordClass& record_class,
                                                         const Condition& condition) const;
  // Whether the mirror must hear from the server before it can answer for `set`.
  [[nodiscard]] bool _mirror_lacks(const TransactionMirror::ChildSet& set);
  // Reads what the mirror lacks for `set`: whether stored records refer to its
  // new parent, and the children of its parent and of the parents walked next.
  asio::awaitable<void> _read_into_mirror(const RecordClass& record_class,
                                          const TransactionMirror::ChildSet& set);
  [[nodiscard]] std::vector<Record> _known_answer(const KnownLookup& lookup,
                                                  const Condition& condition, bool first_only);
  // The update of the record `id` worked out here and queued, or nullopt (nothing
  // done) when only the server can tell its result; `given` is used up when queued.
  [[nodiscard]] std::optional<Record> _update_known(const RecordClass& record_class,
                                                    std::int64_t id,
                                                    const nlohmann::ordered_json& data,
                                                    FieldValues& given);
  // The record `id` that `record_class` stores from `given` (collected from
  // `data`) on top of `current` (a new record when null), as a row image; or
  // nullopt when only the server can tell.
  [[nodiscard]] std::optional<Record> _predicted(const RecordClass& record_class,
                                                 const nlohmann::ordered_json& data,
                                                 const FieldValues& given, const Record* current,
                                                 std::int64_t id) const;
  // Identifiers reserved for new records of a class.
  struct Reserved {
    std::vector<std::int64_t> ids;
    std::size_t next = 0;
    int block = 32;
  };
  [[nodiscard]] bool _identifier_reserved(const RecordClass& record_class) const;
  [[nodiscard]] std::string _reserve_what(const RecordClass& record_class) const;
  [[nodiscard]] std::vector<SqlValue> _reserve_parameters(const RecordClass& record_class,
                                                          const Reserved& reserved) const;
  static void _take_reserved(Reserved& reserved, const pg_result* result);
  // Reserves the next block of identifiers (the caller knows the last one is used up).
  asio::awaitable<void> _reserve_ahead(const RecordClass& record_class);
  std::int64_t _next_identifier_now(const RecordClass& record_class);
  // Cached SQL text of a batch, so batches can point at it.
  const std::string& _sql_text(const RecordClass& record_class, std::uint64_t mask, bool insert);

  std::string _location;
  bool _read_only;
  std::chrono::milliseconds _lock_timeout;
  PgConnection _connection;
  std::unordered_map<std::string, std::string> _statement_names;
  std::size_t _statement_count = 0;
  std::unordered_set<const RecordClass*> _ready_tables;
  // Queueing needs the server and client to speak UTF-8, which the checks of
  // values that the server accepts assume.
  bool _may_queue = false;
  std::vector<QueuedWrite> _queued;
  std::vector<QueuedWrite> _spare_queue;  // emptied, for the queue after the next flush
  // The pipeline of writes sent ahead, until the statement that ends it.
  bool _in_pipeline = false;
  std::deque<Sent> _sent;
  std::unordered_map<const std::string*, std::string> _preparing;  // sent, not yet confirmed
  std::optional<Sent> _refused;  // the first command the server refused
  TransactionMirror _mirror;
  std::unordered_map<const RecordClass*, Reserved> _reserved;
  std::map<std::tuple<const RecordClass*, std::uint64_t, bool>, std::string> _sql_texts;
};

}  // namespace kelmarion::core::detail
