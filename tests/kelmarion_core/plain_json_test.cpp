#include "kelmarion_core/detail/plain_json.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

namespace kelmarion::core::detail {
namespace {

using Json = nlohmann::ordered_json;

std::string library_dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::ignore);
}

// Whether two values have the same kind at every place, numbers included.
bool same_kinds(const Json& a, const Json& b) {
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (a.is_array() || a.is_object()) {
    for (auto left = a.begin(), right = b.begin(); left != a.end(); ++left, ++right) {
      if (!same_kinds(*left, *right)) return false;
    }
  }
  return true;
}

// The fast paths must agree with the library wherever they answer: the same
// text for a value, the same value (number kinds included) for a text.
void expect_agreement(const std::string& text) {
  SCOPED_TRACE(text);
  const auto parsed = Json::parse(text, nullptr, false);
  const auto plain = parse_plain_json(text);
  if (plain) {
    ASSERT_FALSE(parsed.is_discarded());
    EXPECT_EQ(library_dump(*plain), library_dump(parsed));
    EXPECT_TRUE(same_kinds(*plain, parsed));
  }
  if (!parsed.is_discarded()) {
    std::string out;
    if (append_plain_json(parsed, out)) {
      EXPECT_EQ(out, library_dump(parsed));
    }
  }
}

TEST(PlainJson, AnswersTheCommonShapesAsTheLibraryDoes) {
  for (const std::string text :
       {R"(["id"])", R"(["a","b c"])", "[]", "{}", "null", "true", "false", "0", "-0", "42", "-42",
        "18446744073709551615", "-9223372036854775808", R"({"ondelete":"CASCADE"})",
        R"({"a":[1,-2,{"b":null}],"c":true})", R"([[],[[]],{}])", R"("x/y")"}) {
    EXPECT_TRUE(parse_plain_json(text).has_value()) << text;
    expect_agreement(text);
  }
}

TEST(PlainJson, DeclinesWhatItDoesNotReadExactly) {
  for (const std::string text : {"",
                                 " []",
                                 "[1, 2]",
                                 "[1,]",
                                 "[01]",
                                 "1.5",
                                 "1e3",
                                 "18446744073709551616",
                                 "-9223372036854775809",
                                 R"(["\n"])",
                                 R"(["é"])",
                                 R"(["a\"b"])",
                                 R"({"a":1,"a":2})",
                                 R"({"a" :1})",
                                 "[1]x",
                                 "nul",
                                 R"(["unterminated)",
                                 "{\"a\":}",
                                 "[",
                                 "-"}) {
    EXPECT_FALSE(parse_plain_json(text).has_value()) << text;
    expect_agreement(text);
  }
  std::string out;
  EXPECT_FALSE(append_plain_json(Json(1.5), out));
  EXPECT_FALSE(append_plain_json(Json::array({"tab\t"}), out));
  EXPECT_FALSE(append_plain_json(Json::object({{"é", 1}}), out));
}

TEST(PlainJson, AgreesWithTheLibraryOnRandomValues) {
  std::mt19937 random(20261209);
  const std::vector<std::string> texts = {"a", "", "column_1", "é", "q\"", "back\\", "x y", "\x7f"};
  std::function<Json(int)> value = [&](int depth) -> Json {
    switch (random() % (depth > 3 ? 5 : 7)) {
      case 0:
        return nullptr;
      case 1:
        return random() % 2 == 0;
      case 2:
        return static_cast<std::int64_t>(random()) - (1LL << 31);
      case 3:
        return texts[random() % texts.size()];
      case 4:
        return random() % 4 == 0 ? Json(0.5) : Json(static_cast<std::uint64_t>(random()));
      case 5: {
        auto array = Json::array();
        for (auto n = random() % 4; n > 0; --n) array.push_back(value(depth + 1));
        return array;
      }
      default: {
        auto object = Json::object();
        for (auto n = random() % 4; n > 0; --n)
          object[texts[random() % texts.size()]] = value(depth + 1);
        return object;
      }
    }
  };
  for (int i = 0; i < 2000; ++i) expect_agreement(library_dump(value(0)));
}

}  // namespace
}  // namespace kelmarion::core::detail
