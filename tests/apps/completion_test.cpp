// `kelmarion-meta completion bash|zsh|fish`: scripts each shell accepts, and
// bash completing subcommands, --format values and file names from them.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "apps/tool_test.h"

namespace kelmarion::testing {
namespace {

using ::testing::HasSubstr;

bool have(const std::string& program) {
  return std::system(("command -v " + program + " > /dev/null 2>&1").c_str()) == 0;
}

using Completion = ToolTest;

TEST_F(Completion, EveryShellAcceptsItsScript) {
  // The shell's own syntax check, for each shell that is installed.
  for (const auto& [shell, check] :
       {std::pair{"bash", "bash -n"}, {"zsh", "zsh -n"}, {"fish", "fish --no-execute"}}) {
    const auto run = tool({"completion", shell});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, HasSubstr("kelmarion-meta")) << shell;
    if (!have(shell)) continue;
    const auto script = directory() / (std::string("script.") + shell);
    std::ofstream(script) << run.out;
    EXPECT_EQ(std::system((std::string(check) + " '" + script.string() + "'").c_str()), 0)
        << shell << ":\n"
        << run.out;
  }
  EXPECT_EQ(tool({"completion", "tcsh"}).status, 2);
}

TEST_F(Completion, BashCompletesCommandsFormatValuesAndFiles) {
  const auto script = directory() / "script.bash";
  std::ofstream(script) << tool({"completion", "bash"}).out;
  std::ofstream(directory() / "schema.json") << "{}";
  // Completes the words given (the last one being typed) and prints the candidates.
  const auto complete = [&](const std::string& words) {
    const auto output = directory() / "candidates";
    const auto command = "cd '" + directory().string() + "' && bash -c 'source \"" +
                         script.string() + "\"; COMP_WORDS=(kelmarion-meta " + words +
                         "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _kelmarion_meta; echo " +
                         "\"${COMPREPLY[*]}\"' > '" + output.string() + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::string candidates;
    std::getline(std::ifstream(output), candidates);
    return candidates;
  };
  EXPECT_EQ(complete("d"), "diff doc");
  EXPECT_EQ(complete("show --format \"\""), "tree json mermaid dot");
  EXPECT_EQ(complete("diff --format j"), "json");
  EXPECT_EQ(complete("save --document sch"), "schema.json");
  EXPECT_EQ(complete("history --l"), "--limit --lock-timeout");
}

}  // namespace
}  // namespace kelmarion::testing
