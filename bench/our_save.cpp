#include "our_save.h"

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <string>

#include "floor_records.h"

namespace kelmarion::bench {
namespace {

asio::awaitable<void> save_awaited(core::AsyncSession& session,
                                   std::shared_ptr<meta::Document> document) {
  meta::SourceStore store({.db = &session,
                           .engine_name = std::string(bench_engine_name),
                           .schema_name = std::string(bench_schema_name)});
  co_await session.begin();
  // Named first: g++ 12 destroys a braced temporary inside a co_await expression twice.
  meta::SaveMetaOptions options{.metadata = std::move(document)};
  co_await store.save_meta(std::move(options));
  co_await session.commit();
}

}  // namespace

void save_in_transaction(core::AsyncSession& session, std::shared_ptr<meta::Document> document) {
  asio::io_context context;
  std::exception_ptr failure;
  asio::co_spawn(context, save_awaited(session, std::move(document)),
                 [&failure](std::exception_ptr error) { failure = std::move(error); });
  context.run();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace kelmarion::bench
