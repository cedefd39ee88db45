#include "kelmarion_meta/tools/source_inspect.h"

#include <fmt/format.h>
#include <map>
#include <mutex>

#include "kelmarion_core/connection_url.h"
#include "kelmarion_core/errors.h"
#include "kelmarion_meta/tools/detail/builtin_inspectors.h"

namespace kelmarion::meta {
namespace {

struct InspectorRegistry {
  std::mutex mutex;
  std::map<std::string, InspectorFactory, std::less<>> factories{
      {"sqlite", detail::make_sqlite_inspector},
      {"postgresql", detail::make_postgresql_inspector},
      {"postgres", detail::make_postgresql_inspector},
      {"mysql", detail::make_mysql_inspector},
      {"mariadb", detail::make_mysql_inspector},
  };
};

InspectorRegistry& registry() {
  static InspectorRegistry instance;
  return instance;
}

}  // namespace

void register_inspector(const std::string& scheme, InspectorFactory factory) {
  auto& reg = registry();
  const std::lock_guard lock(reg.mutex);
  reg.factories.insert_or_assign(core::url_scheme(scheme + ":"), std::move(factory));
}

SourceInspect::SourceInspect(Options options) : _engine_name(std::move(options.engine_name)) {}

std::optional<nlohmann::ordered_json> SourceInspect::get_schema(GetSchemaOptions options) {
  if (!_engine_name || _engine_name->empty()) {
    throw core::ConfigurationError("no engine to inspect: give an engine URL such as sqlite:///app.db");
  }
  const auto scheme = core::is_key_value_conninfo(*_engine_name) ? std::string("postgresql")
                                                                 : core::url_scheme(*_engine_name);
  InspectorFactory factory;
  {
    auto& reg = registry();
    const std::lock_guard lock(reg.mutex);
    const auto found = reg.factories.find(scheme);
    if (found == reg.factories.end()) {
      throw core::ConfigurationError(fmt::format(
          "engine '{}': unknown URL scheme '{}' (expected sqlite:, postgresql: or mysql:)",
          core::redact_password(*_engine_name), scheme));
    }
    factory = found->second;
  }
  const auto inspector = factory(*_engine_name);
  return inspector->get_schema(options.schema_name);
}

}  // namespace kelmarion::meta
