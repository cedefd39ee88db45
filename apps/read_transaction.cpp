#include "apps/read_transaction.h"

#include "apps/lock_timeout_option.h"
#include "apps/store_location.h"

namespace kelmarion::apps {

core::AsyncSession open_store_to_read(const std::optional<std::string>& store,
                                      double lock_timeout_seconds) {
  const auto location = store_location(store);
  require_lasting_store(location);
  require_existing_store_file(location);
  return core::AsyncSession(
      location, {.read_only = true, .lock_timeout = lock_timeout(lock_timeout_seconds)});
}

}  // namespace kelmarion::apps
