#include "kelmarion_core/detail/postgresql_values.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <memory>
#include <string>

#include "support/test_support.h"

namespace kelmarion::core::detail {
namespace {

using Json = nlohmann::ordered_json;

// Asks the server what it stores for `text` bound to a column of `type`: the
// text it reads back, or nullopt when it refuses the value.
class ServerReadBack {
 public:
  explicit ServerReadBack(const std::string& url) : _connection(PQconnectdb(url.c_str()), PQfinish) {}

  [[nodiscard]] bool connected() const { return PQstatus(_connection.get()) == CONNECTION_OK; }

  std::optional<std::string> stored(const std::string& text, const std::string& type) {
    const auto sql = "SELECT $1::" + type;
    const char* values[] = {text.c_str()};
    const int lengths[] = {static_cast<int>(text.size())};
    const int formats[] = {1};  // binary, so that a NUL reaches the server
    std::unique_ptr<PGresult, decltype(&PQclear)> result(
        PQexecParams(_connection.get(), sql.c_str(), 1, nullptr, values, lengths,
                     type == "jsonb" ? nullptr : formats, 0),
        PQclear);
    if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) return std::nullopt;
    return std::string(PQgetvalue(result.get(), 0, 0));
  }

 private:
  std::unique_ptr<PGconn, decltype(&PQfinish)> _connection;
};

class PostgresqlValues : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto url = testing::postgresql_test_url();
    if (!url) GTEST_SKIP() << "KELMARION_TEST_PG_URL is not set";
    _server = std::make_unique<ServerReadBack>(*url);
    ASSERT_TRUE(_server->connected());
  }
  std::unique_ptr<ServerReadBack> _server;
};

// What this side works out must be exactly what the server stores and reads
// back, for every kind of JSON value a document may hold.
TEST_F(PostgresqlValues, JsonIsStoredAsTheServerStoresJsonb) {
  const std::vector<std::string> documents = {
      R"({"bb": 1, "a": 2, "ccc": {"zz": [1, 2], "y": null}, "b": true})",
      R"(["id", "name", "ünïcødé", "日本語", "emoji 🎉", "tab\there", "quote\"back\\slash"])",
      R"([1e300, 1.5e-7, -0.0, 100.0, 1e18, 1e20, 0.1, 123456.789e3, -2.5e-300, 5e-324])",
      R"([18446744073709551615, -9223372036854775808, 0, -1])",
      R"({"": 1, "a": {"": {"": []}}, "long key": {}, "ab": "", "ba": false})",
      R"("just text")",
      R"(3.14159)",
      R"(null)",
  };
  for (const auto& document : documents) {
    SCOPED_TRACE(document);
    const auto serialized = Json::parse(document).dump();
    const auto server = _server->stored(serialized, "jsonb");
    ASSERT_TRUE(server.has_value());
    const auto predicted = postgresql_stored_value(FieldKind::json, SqlValue{serialized});
    ASSERT_TRUE(predicted.has_value());
    EXPECT_EQ(predicted->dump(), Json::parse(*server).dump());
    const auto from_value = postgresql_stored_json(Json::parse(document));
    ASSERT_TRUE(from_value.has_value());
    EXPECT_EQ(from_value->dump(), Json::parse(*server).dump());
  }
}

// A value is only ever predicted when the server accepts it.
TEST_F(PostgresqlValues, ValuesTheServerRefusesAreNeverPredicted) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {std::string("nul\0inside", 10), "text"},
      {"\xC3\x28", "text"},                 // broken two-byte sequence
      {"\xED\xA0\x80", "text"},             // a surrogate
      {"\xF4\x90\x80\x80", "text"},         // above U+10FFFF
      {"\xC0\xAF", "text"},                 // overlong
      {R"(["a\u0000b"])", "jsonb"},
      {R"({"k\u0000": 1})", "jsonb"},
  };
  for (const auto& [text, type] : refused) {
    SCOPED_TRACE(type + ": " + Json(text).dump(-1, ' ', false, Json::error_handler_t::replace));
    EXPECT_FALSE(_server->stored(text, type).has_value());
    EXPECT_FALSE(postgresql_stored_value(type == "text" ? FieldKind::text : FieldKind::json,
                                         SqlValue{text})
                     .has_value());
    if (type == "jsonb") {
      EXPECT_FALSE(postgresql_stored_json(Json::parse(text)).has_value());
    }
  }
  for (const std::string accepted : {"plain", "日本語 🎉", "", "\x7F"}) {
    ASSERT_TRUE(_server->stored(accepted, "text").has_value());
    EXPECT_EQ(postgresql_stored_value(FieldKind::text, SqlValue{accepted}), Json(accepted));
  }
}

TEST(PostgresqlStoredValue, IntegersAndBooleansReadBackAsTheirKind) {
  EXPECT_EQ(postgresql_stored_value(FieldKind::integer, SqlValue{std::int64_t{-7}}), Json(-7));
  EXPECT_EQ(postgresql_stored_value(FieldKind::boolean, SqlValue{std::int64_t{1}}), Json(true));
  EXPECT_EQ(postgresql_stored_value(FieldKind::boolean, SqlValue{std::int64_t{0}}), Json(false));
  EXPECT_EQ(postgresql_stored_value(FieldKind::text, SqlValue{}), Json(nullptr));
}

}  // namespace
}  // namespace kelmarion::core::detail
