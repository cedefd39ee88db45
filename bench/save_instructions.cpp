// One save of a generated schema, for counting its instructions with valgrind's
// callgrind, where a shared machine's noise does not reach: ours or the floor's,
// into a SQLite file store or a PostgreSQL store (KELMARION_TEST_PG_URL), the
// first save of the schema or the re-save after it. The store is new, the save
// before a re-save runs uninstrumented, and callgrind counts the measured save
// only:
//
//   valgrind --tool=callgrind --instr-atstart=no --callgrind-out-file=/dev/null
//     save_instructions sqlite|postgresql ours|floor first|resave [tables]
//
// callgrind's "Collected" line is the count. Run without valgrind, it prints the
// measured save's wall time.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <stdexcept>
#include <string_view>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "bench_stores.h"
#include "generated_document.h"
#include "kelmarion_core/session.h"
#include "our_save.h"
#include "postgresql_floor.h"
#include "sqlite_floor.h"

namespace {

using kelmarion::bench::PostgresqlStore;
using kelmarion::meta::Document;
using Save = std::function<void()>;

struct Choice {
  bool postgresql = false;
  bool floor = false;
  bool resave = false;
  int tables = 1000;
};

// The save before a re-save (none for a first save), uninstrumented, then the
// measured one.
void measure(const Choice& choice, const Save& save) {
  if (choice.resave) save();
  const auto start = std::chrono::steady_clock::now();
  CALLGRIND_START_INSTRUMENTATION;
  save();
  CALLGRIND_STOP_INSTRUMENTATION;
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  std::printf("%s %s %s, %d tables: %.1f ms\n", choice.postgresql ? "postgresql" : "sqlite",
              choice.floor ? "floor" : "ours", choice.resave ? "re-save" : "first save",
              choice.tables, took.count());
}

void measure_ours(const Choice& choice, const std::string& location,
                  const nlohmann::ordered_json& source) {
  auto document = std::make_shared<Document>(source);
  kelmarion::core::AsyncSession session(location);
  measure(choice, [&] { kelmarion::bench::save_in_transaction(session, document); });
}

void measure_sqlite(const Choice& choice, const nlohmann::ordered_json& source) {
  const auto path = kelmarion::bench::sqlite_store_path();
  std::filesystem::remove(path);
  if (choice.floor) {
    auto connection = kelmarion::bench::open_sqlite_floor_store();
    kelmarion::bench::SqliteFloor floor(connection.get());
    measure(choice, [&] { floor.save(source); });
  } else {
    measure_ours(choice, path.string(), source);
  }
  std::filesystem::remove(path);
}

void measure_postgresql(const Choice& choice, const nlohmann::ordered_json& source) {
  const char* url = kelmarion::bench::postgresql_url();
  if (url == nullptr) throw std::runtime_error("set KELMARION_TEST_PG_URL to measure PostgreSQL");
  if (choice.floor) {
    const PostgresqlStore store(url, kelmarion::bench::floor_postgresql_schema);
    auto connection = kelmarion::bench::connect_postgresql_floor(store);
    kelmarion::bench::PostgresqlFloor floor(connection.get());
    measure(choice, [&] { floor.save(source); });
  } else {
    const PostgresqlStore store(url, kelmarion::bench::ours_postgresql_schema);
    measure_ours(choice, store.location(), source);
  }
}

bool parse(int argc, char** argv, Choice& choice) {
  if (argc < 4 || argc > 5) return false;
  const std::string_view store = argv[1];
  const std::string_view side = argv[2];
  const std::string_view which = argv[3];
  if ((store != "sqlite" && store != "postgresql") || (side != "ours" && side != "floor") ||
      (which != "first" && which != "resave")) {
    return false;
  }
  choice.postgresql = store == "postgresql";
  choice.floor = side == "floor";
  choice.resave = which == "resave";
  if (argc == 5) choice.tables = std::atoi(argv[4]);
  return choice.tables > 0;
}

}  // namespace

int main(int argc, char** argv) {
  Choice choice;
  if (!parse(argc, argv, choice)) {
    std::fprintf(stderr,
                 "usage: %s sqlite|postgresql ours|floor first|resave [tables, 1000 by default]\n",
                 argv[0]);
    return 2;
  }
  try {
    const auto source = kelmarion::bench::generated_document(choice.tables);
    if (choice.postgresql) {
      measure_postgresql(choice, source);
    } else {
      measure_sqlite(choice, source);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "save_instructions: %s\n", error.what());
    return 1;
  }
  return 0;
}
