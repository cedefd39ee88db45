// Inputs the document fuzzer (fuzz/) found to break the tool, run through the
// tool itself: each must be refused as bad input (status 2) with a message
// naming where it came from, and leave the store empty.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "apps/tool_test.h"
#include "support/store_contents.h"

namespace kelmarion::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

using FuzzFinding = ToolTest;

TEST_F(FuzzFinding, NumberTooLargeForADoubleIsMalformedInput) {
  const auto run = tool(
      ToolCall{.arguments = {"save", "--document", "-", "--schema", "s", "--store", store()},
               .input = R"({"schema_name": "s", "comment": 1e999, "tables": [], "views": []})"});

  EXPECT_EQ(run.status, 2);
  EXPECT_THAT(run.err, StartsWith("kelmarion-meta: error: standard input: malformed JSON: "));
  EXPECT_THAT(run.err, HasSubstr("number overflow parsing '1e999'"));
  EXPECT_EQ(sqlite_contents(store()), StoreContents{});
}

}  // namespace
}  // namespace kelmarion::testing
