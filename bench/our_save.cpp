#include "our_save.h"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <string>

#include "floor_records.h"
#include "kelmarion_meta/tools/save_schema.h"

namespace kelmarion::bench {
namespace {

asio::awaitable<void> save_awaited(core::AsyncSession& session,
                                   std::shared_ptr<meta::Document> document) {
  (void)co_await meta::save_schema(session, std::string(bench_engine_name),
                                   std::string(bench_schema_name), std::move(document));
}

asio::awaitable<void> preview_awaited(core::AsyncSession& session,
                                      std::shared_ptr<meta::Document> document) {
  (void)co_await meta::preview_save(session, std::string(bench_engine_name),
                                    std::string(bench_schema_name), std::move(document));
}

void run_to_end(asio::awaitable<void> task) {
  asio::io_context context;
  std::exception_ptr failure;
  asio::co_spawn(context, std::move(task),
                 [&failure](std::exception_ptr error) { failure = std::move(error); });
  context.run();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace

void save_in_transaction(core::AsyncSession& session, std::shared_ptr<meta::Document> document) {
  run_to_end(save_awaited(session, std::move(document)));
}

void preview_save(core::AsyncSession& session, std::shared_ptr<meta::Document> document) {
  run_to_end(preview_awaited(session, std::move(document)));
}

}  // namespace kelmarion::bench
