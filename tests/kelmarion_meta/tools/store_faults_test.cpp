// Saves that meet a failing store: a full disk, a read-only file, a file another
// connection holds, a PostgreSQL connection the server drops half-way. Each
// must fail with an error naming the store and the problem, leave every row of
// every store table as it was, and let the next save succeed.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "bench/generated_document.h"
#include "kelmarion_core/detail/store_connection.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_core/query_service.h"
#include "kelmarion_meta/generate/entity_table/source_table.h"
#include "kelmarion_meta/tools/source_store.h"
#include "support/store_contents.h"
#include "support/store_fixture.h"
#include "support/test_support.h"

namespace kelmarion::testing {
namespace {

using core::DatabaseError;
using meta::Document;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

// Saves `document` as schema `schema_name` in one transaction, as the tool does:
// on failure it rolls back (unless the store has already) and rethrows.
asio::awaitable<void> save_in_transaction(core::AsyncSession& session,
                                          std::shared_ptr<Document> document,
                                          std::string schema_name) {
  meta::SourceStore store(
      {.db = &session, .engine_name = "sqlite:///sales.db", .schema_name = schema_name});
  co_await session.begin();
  std::exception_ptr failure;
  try {
    co_await session.lock_schema(schema_name);
    // Named first: g++ 12 destroys a braced temporary inside a co_await expression twice.
    meta::SaveMetaOptions options{.metadata = std::move(document)};
    co_await store.save_meta(std::move(options));
    co_await session.commit();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure && session.in_transaction()) {
    try {
      co_await session.rollback();
    } catch (const core::Error&) {
      // The save's failure is the one to report; a lost connection ends the transaction anyway.
    }
  }
  if (failure) std::rethrow_exception(failure);
}

// Saves `document` as the schema it names.
void save(core::AsyncSession& session, const std::shared_ptr<Document>& document) {
  run(save_in_transaction(session, document, document->at("schema_name").get<std::string>()));
}

// A generated schema large enough to need many pages and many round trips.
std::shared_ptr<Document> large_document(int tables) {
  auto document = std::make_shared<Document>(bench::generated_document(tables));
  (*document)["schema_name"] = "large";
  return document;
}

std::size_t table_count(core::AsyncSession& session) {
  return run(core::QueryService::query_all(&session, meta::SourceTable::record_class())).size();
}

// A SQLite store in a file of its own, holding the "sales" schema.
class SqliteStoreFault : public ::testing::Test {
 protected:
  void SetUp() override {
    core::AsyncSession session(location());
    save(session, sales_document());
  }
  [[nodiscard]] std::filesystem::path file() const { return _directory.path() / "store.db"; }
  [[nodiscard]] std::string location() const { return "sqlite:///" + file().string(); }
  [[nodiscard]] const std::filesystem::path& directory() const { return _directory.path(); }

 private:
  TempDir _directory;
};

TEST(SqliteStoreFullDisk, SaveFailsNamingTheStoreChangesNothingAndTheNextSaveSucceeds) {
  // How many pages the store may grow by before it is full: the save fails at a
  // different step each time.
  for (const int headroom : {0, 1, 3, 10}) {
    SCOPED_TRACE(fmt::format("headroom {} pages", headroom));
    const TempDir directory;
    const auto file = directory.path() / "store.db";
    core::AsyncSession session("sqlite:///" + file.string());
    save(session, sales_document());
    const auto before = sqlite_contents(file);
    const auto pages = sqlite_integer(open_sqlite_file(file).get(), "PRAGMA page_count");
    // The limit belongs to the connection: set it on the session's own.
    run(session.execute(fmt::format("PRAGMA max_page_count = {}", pages + headroom)));

    EXPECT_THAT(
        [&] { save(session, large_document(40)); },
        ThrowsMessage<DatabaseError>(AllOf(HasSubstr(fmt::format("store '{}'", file.string())),
                                           HasSubstr("database or disk is full"))));
    EXPECT_FALSE(session.in_transaction());
    EXPECT_EQ(sqlite_contents(file), before);

    // Room again: the same session saves.
    run(session.execute("PRAGMA max_page_count = 1073741823"));
    save(session, large_document(40));
    EXPECT_EQ(table_count(session), 3U + 40U);
  }
}

TEST(SqliteStoreFaultOnCreate, FullDiskWhileCreatingTheStoreTablesLeavesASessionThatSaves) {
  const TempDir directory;
  const auto file = directory.path() / "store.db";
  core::AsyncSession session("sqlite:///" + file.string());
  // A new store has no page yet: the first tables fit, the later ones do not.
  for (const int limit : {2, 6, 12}) {
    SCOPED_TRACE(fmt::format("max_page_count {}", limit));
    run(session.execute(fmt::format("PRAGMA max_page_count = {}", limit)));
    EXPECT_THAT([&] { save(session, sales_document()); },
                ThrowsMessage<DatabaseError>(HasSubstr("database or disk is full")));
    EXPECT_FALSE(session.in_transaction());
    EXPECT_EQ(sqlite_contents(file), StoreContents{});
  }
  run(session.execute("PRAGMA max_page_count = 1073741823"));
  save(session, sales_document());
  EXPECT_EQ(table_count(session), 3U);
}

// Runs `attempt` in a child process as a user that file permissions apply to
// (root ignores them: the child of a root test drops to "nobody"). Returns the
// message of the DatabaseError the attempt threw, or what went wrong instead.
std::string database_error_in_child_without_root(const std::function<void()>& attempt) {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) throw std::runtime_error("pipe failed");
  const pid_t child = fork();
  if (child == 0) {
    close(pipe_ends[0]);
    std::string message = "the save succeeded";
    constexpr uid_t nobody = 65534;
    if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0)) {
      message = "cannot drop root privileges";
    } else {
      try {
        attempt();
      } catch (const DatabaseError& error) {
        message = error.what();
      } catch (const std::exception& error) {
        message = fmt::format("not a DatabaseError: {}", error.what());
      }
    }
    const auto written = write(pipe_ends[1], message.data(), message.size());
    _exit(written == static_cast<ssize_t>(message.size()) ? 0 : 1);
  }
  close(pipe_ends[1]);
  std::string message;
  char buffer[4096];
  for (ssize_t got = 0; (got = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
    message.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipe_ends[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return message;
}

// Sessions that are meant to give up waiting for a lock give up soon.
core::SessionOptions short_lock_wait() {
  return core::SessionOptions{.lock_timeout = std::chrono::milliseconds(500)};
}

TEST_F(SqliteStoreFault, ReadOnlyStoreFileFailsNamingTheStoreAndChangesNothing) {
  const auto before = sqlite_contents(file());
  std::filesystem::permissions(file(), std::filesystem::perms::owner_read |
                                           std::filesystem::perms::group_read |
                                           std::filesystem::perms::others_read);
  // The store's directory stays writable, so only the file's mode says no.
  std::filesystem::permissions(directory(), std::filesystem::perms::all);

  // A document with something to write: an unchanged one writes nothing.
  const auto message = database_error_in_child_without_root([&] {
    core::AsyncSession session(location());
    save(session, large_document(3));
  });
  EXPECT_THAT(message, AllOf(HasSubstr(fmt::format("store '{}'", file().string())),
                             HasSubstr("attempt to write a readonly database")));
  EXPECT_EQ(sqlite_contents(file()), before);

  std::filesystem::permissions(file(), std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::add);
  core::AsyncSession session(location());
  save(session, large_document(5));
  EXPECT_EQ(table_count(session), 3U + 5U);
}

TEST_F(SqliteStoreFault, StoreHeldByAnotherWriterFailsAsBusyThenSavesOnceReleased) {
  const auto before = sqlite_contents(file());
  const auto other_writer = open_sqlite_file(file());
  sqlite_execute(other_writer.get(), "BEGIN IMMEDIATE");

  core::AsyncSession session(location(), short_lock_wait());
  // The session waits out its busy timeout, then gives up.
  EXPECT_THAT(
      [&] { save(session, large_document(5)); },
      ThrowsMessage<DatabaseError>(AllOf(HasSubstr(fmt::format("store '{}'", file().string())),
                                         HasSubstr("database is locked"))));
  EXPECT_FALSE(session.in_transaction());
  EXPECT_EQ(sqlite_contents(file()), before);

  sqlite_execute(other_writer.get(), "ROLLBACK");
  save(session, large_document(5));
  EXPECT_EQ(table_count(session), 3U + 5U);
}

TEST_F(SqliteStoreFault, StoreHeldByAnotherWriterSavesWhenItCommitsWithinTheBusyTimeout) {
  auto other_writer = open_sqlite_file(file());
  sqlite_execute(other_writer.get(), "BEGIN IMMEDIATE");
  sqlite_execute(other_writer.get(), "UPDATE source_schema SET comment = 'edited elsewhere'");
  // Well inside the session's lock timeout (a minute by default).
  std::thread release([&other_writer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite_execute(other_writer.get(), "COMMIT");
  });

  core::AsyncSession session(location());
  EXPECT_NO_THROW(save(session, large_document(5)));
  release.join();
  EXPECT_EQ(table_count(session), 3U + 5U);
  EXPECT_EQ(sqlite_integer(other_writer.get(),
                           "SELECT count(*) FROM source_schema WHERE comment = 'edited elsewhere'"),
            1);
}

TEST_F(SqliteStoreFault, ReaderHoldingTheStoreAtCommitFailsTheCommitAndChangesNothing) {
  const auto before = sqlite_contents(file());
  const auto reader = open_sqlite_file(file());
  sqlite_execute(reader.get(), "BEGIN");
  EXPECT_EQ(sqlite_integer(reader.get(), "SELECT count(*) FROM source_schema"), 1);

  // Writing needs no more than the reader allows; committing needs it gone.
  core::AsyncSession session(location(), short_lock_wait());
  EXPECT_THAT(
      [&] { save(session, large_document(5)); },
      ThrowsMessage<DatabaseError>(AllOf(HasSubstr(fmt::format("store '{}'", file().string())),
                                         HasSubstr("database is locked"), HasSubstr("COMMIT"))));
  EXPECT_FALSE(session.in_transaction());

  sqlite_execute(reader.get(), "COMMIT");
  EXPECT_EQ(sqlite_contents(file()), before);
  save(session, large_document(5));
  EXPECT_EQ(table_count(session), 3U + 5U);
}

// A PostgreSQL store in a schema of the test's own, whose sessions carry an
// application name so that a second connection can find and drop them.
class PostgresqlStoreFault : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto url = postgresql_test_url();
    if (!url) GTEST_SKIP() << "set KELMARION_TEST_PG_URL to run the PostgreSQL store faults";
    _url = *url;
    _schema = unique_name("store_fault");
    postgresql_execute(_url, "CREATE SCHEMA " + _schema);
    _location = fmt::format("{}{}options=-csearch_path%3D{}&application_name={}", _url,
                            _url.find('?') == std::string::npos ? "?" : "&", _schema, _schema);
  }
  void TearDown() override {
    if (!_schema.empty()) postgresql_execute(_url, "DROP SCHEMA " + _schema + " CASCADE");
  }

  // Polls the server until a session of this test is inserting records inside
  // its transaction, then terminates that backend; returns how many it terminated.
  asio::awaitable<int> drop_connection_while_inserting() {
    auto admin = connect_postgresql(_url);
    asio::steady_timer timer(co_await asio::this_coro::executor);
    const auto sql = fmt::format(
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
        "WHERE application_name = '{}' AND backend_xid IS NOT NULL AND query LIKE 'INSERT%'",
        _schema);
    for (int attempt = 0; attempt < 5000; ++attempt) {
      const auto terminated = PQntuples(postgresql_query(admin.get(), sql).get());
      if (terminated > 0) co_return terminated;
      timer.expires_after(std::chrono::milliseconds(1));
      co_await timer.async_wait(asio::use_awaitable);
    }
    co_return 0;
  }

  std::string _url;
  std::string _schema;
  std::string _location;
};

TEST_F(PostgresqlStoreFault, ConnectionDroppedMidSaveFailsNamingTheStoreAndKeepsNoPartialRecord) {
  {
    core::AsyncSession session(_location);
    save(session, sales_document());
  }
  const auto before = postgresql_contents(_url, _schema);

  core::AsyncSession doomed(_location);
  asio::io_context context;
  std::exception_ptr save_failure;
  bool save_done = false;
  int terminated = 0;
  asio::co_spawn(context, save_in_transaction(doomed, large_document(200), "large"),
                 [&](std::exception_ptr error) {
                   save_failure = std::move(error);
                   save_done = true;
                 });
  asio::co_spawn(context, drop_connection_while_inserting(),
                 [&](std::exception_ptr error, int count) {
                   if (error) std::rethrow_exception(error);
                   terminated = count;
                 });
  context.run();

  ASSERT_EQ(terminated, 1);
  ASSERT_TRUE(save_done);
  ASSERT_TRUE(save_failure) << "the save went through although its connection was dropped";
  EXPECT_THAT(
      [&] { std::rethrow_exception(save_failure); },
      ThrowsMessage<DatabaseError>(HasSubstr(fmt::format("store '{}'", doomed.location()))));
  EXPECT_EQ(postgresql_contents(_url, _schema), before);

  core::AsyncSession next(_location);
  save(next, large_document(200));
  EXPECT_EQ(table_count(next), 3U + 200U);
}

}  // namespace
}  // namespace kelmarion::testing
