// Saving generated schemas into a SQLite file store and, when
// KELMARION_TEST_PG_URL names a server, into a PostgreSQL store; each save is one
// transaction: the first save of a new schema, and a re-save that updates every
// record. Each is measured next to its floor (floor_records.h): the same records
// written with the plain C API of the engine (sqlite_floor.h, postgresql_floor.h).
// A diff (the save previewed on a rehearsing session, as `kelmarion-meta diff`
// runs it) of an unchanged schema is measured next to the re-save.
// After the run, a table gives ours / floor (and diff / re-save) per size and
// the growth with size.

#include <benchmark/benchmark.h>

#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "bench_stores.h"
#include "generated_document.h"
#include "kelmarion_core/session.h"
#include "kelmarion_meta/tools/source_store.h"
#include "our_save.h"
#include "postgresql_floor.h"
#include "ratio_report.h"
#include "sqlite_floor.h"

namespace {

using kelmarion::bench::connect_postgresql_floor;
using kelmarion::bench::floor_postgresql_schema;
using kelmarion::bench::open_sqlite_floor_store;
using kelmarion::bench::ours_postgresql_schema;
using kelmarion::bench::postgresql_url;
using kelmarion::bench::PostgresqlStore;
using kelmarion::bench::sqlite_store_path;
using kelmarion::core::AsyncSession;
using kelmarion::meta::Document;

void save(AsyncSession& session, const std::shared_ptr<Document>& document) {
  kelmarion::bench::save_in_transaction(session, document);
}

// Which save of a schema into a new store an iteration times: the first, or the
// one after it. Every timed re-save, ours and the floor's, starts from the same
// store: one that holds the schema from one save. Re-saving into one store over
// and over would leave each size's store in another state (the number of runs
// depends on the size), and the sizes would not compare.
enum class Timed { first_save, resave, diff };

void sqlite_saves(benchmark::State& state, Timed timed) {
  const auto source = kelmarion::bench::generated_document(static_cast<int>(state.range(0)));
  std::shared_ptr<Document> document;
  for (auto _ : state) {
    state.PauseTiming();
    // The previous save's document is freed here, untimed: freeing it is the
    // caller's work, and the floor has no document of its own to free. Freed
    // before the next copy is made, which takes its place: the save does not
    // start on a heap strewn with the free blocks of a whole document.
    document.reset();
    document = std::make_shared<Document>(source);
    std::filesystem::remove(sqlite_store_path());
    auto session = std::make_unique<AsyncSession>(sqlite_store_path().string());
    if (timed != Timed::first_save) save(*session, document);
    if (timed == Timed::diff) {
      session = std::make_unique<AsyncSession>(sqlite_store_path().string(),
                                               kelmarion::core::SessionOptions{.rehearse = true});
    }
    state.ResumeTiming();
    if (timed == Timed::diff) {
      kelmarion::bench::preview_save(*session, document);
    } else {
      save(*session, document);
    }
    // A first save's time holds closing the store, a re-save's does not: the
    // floor's the same.
    if (timed != Timed::first_save) {
      state.PauseTiming();
      session.reset();
      state.ResumeTiming();
    }
  }
  std::filesystem::remove(sqlite_store_path());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void sqlite_floor_saves(benchmark::State& state, Timed timed) {
  const auto source = kelmarion::bench::generated_document(static_cast<int>(state.range(0)));
  try {
    for (auto _ : state) {
      state.PauseTiming();
      std::filesystem::remove(sqlite_store_path());
      auto connection = open_sqlite_floor_store();
      auto floor = std::make_unique<kelmarion::bench::SqliteFloor>(connection.get());
      if (timed == Timed::resave) floor->save(source);
      state.ResumeTiming();
      floor->save(source);
      if (timed == Timed::resave) {
        state.PauseTiming();
        floor.reset();
        connection.reset();
        state.ResumeTiming();
      }
    }
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
  }
  std::filesystem::remove(sqlite_store_path());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_SqliteFirstSave(benchmark::State& state) { sqlite_saves(state, Timed::first_save); }
void BM_SqliteResave(benchmark::State& state) { sqlite_saves(state, Timed::resave); }
void BM_SqliteDiff(benchmark::State& state) { sqlite_saves(state, Timed::diff); }
void BM_SqliteFloorFirstSave(benchmark::State& state) {
  sqlite_floor_saves(state, Timed::first_save);
}
void BM_SqliteFloorResave(benchmark::State& state) { sqlite_floor_saves(state, Timed::resave); }

void postgresql_saves(benchmark::State& state, Timed timed) {
  if (postgresql_url() == nullptr) {
    state.SkipWithError("set KELMARION_TEST_PG_URL to measure a PostgreSQL store");
    return;
  }
  const auto source = kelmarion::bench::generated_document(static_cast<int>(state.range(0)));
  std::shared_ptr<Document> document;
  for (auto _ : state) {
    state.PauseTiming();
    auto store = std::make_unique<PostgresqlStore>(postgresql_url(), ours_postgresql_schema);
    document.reset();  // the previous one freed untimed, before the copy takes its place
    document = std::make_shared<Document>(source);
    auto session = std::make_unique<AsyncSession>(store->location());
    if (timed != Timed::first_save) save(*session, document);
    if (timed == Timed::diff) {
      session = std::make_unique<AsyncSession>(store->location(),
                                               kelmarion::core::SessionOptions{.rehearse = true});
    }
    state.ResumeTiming();
    if (timed == Timed::diff) {
      kelmarion::bench::preview_save(*session, document);
    } else {
      save(*session, document);
    }
    state.PauseTiming();
    session.reset();
    store.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void postgresql_floor_saves(benchmark::State& state, Timed timed) {
  if (postgresql_url() == nullptr) {
    state.SkipWithError("set KELMARION_TEST_PG_URL to measure a PostgreSQL store");
    return;
  }
  const auto source = kelmarion::bench::generated_document(static_cast<int>(state.range(0)));
  try {
    for (auto _ : state) {
      state.PauseTiming();
      auto store = std::make_unique<PostgresqlStore>(postgresql_url(), floor_postgresql_schema);
      auto connection = connect_postgresql_floor(*store);
      auto floor = std::make_unique<kelmarion::bench::PostgresqlFloor>(connection.get());
      if (timed == Timed::resave) floor->save(source);
      state.ResumeTiming();
      floor->save(source);
      state.PauseTiming();
      floor.reset();
      connection.reset();
      store.reset();
      state.ResumeTiming();
    }
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_PostgresqlFirstSave(benchmark::State& state) { postgresql_saves(state, Timed::first_save); }
void BM_PostgresqlResave(benchmark::State& state) { postgresql_saves(state, Timed::resave); }
void BM_PostgresqlDiff(benchmark::State& state) { postgresql_saves(state, Timed::diff); }
void BM_PostgresqlFloorFirstSave(benchmark::State& state) {
  postgresql_floor_saves(state, Timed::first_save);
}
void BM_PostgresqlFloorResave(benchmark::State& state) {
  postgresql_floor_saves(state, Timed::resave);
}

BENCHMARK(BM_SqliteFirstSave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteResave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresqlFirstSave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresqlResave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteDiff)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresqlDiff)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteFloorFirstSave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SqliteFloorResave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresqlFloorFirstSave)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PostgresqlFloorResave)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return kelmarion::bench::run_with_ratios(
      argc, argv,
      {{"BM_SqliteFirstSave", "BM_SqliteFloorFirstSave"},
       {"BM_SqliteResave", "BM_SqliteFloorResave"},
       {"BM_PostgresqlFirstSave", "BM_PostgresqlFloorFirstSave"},
       {"BM_PostgresqlResave", "BM_PostgresqlFloorResave"},
       // Not a floor: a diff of an unchanged schema against its own re-save.
       {"BM_SqliteDiff", "BM_SqliteResave"},
       {"BM_PostgresqlDiff", "BM_PostgresqlResave"}});
}
