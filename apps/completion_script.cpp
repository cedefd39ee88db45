#include "apps/completion_script.h"

#include <fmt/format.h>

#include <CLI/CLI.hpp>

namespace kelmarion::apps {
namespace {

constexpr std::string_view tool = "kelmarion-meta";

struct Choice {
  std::vector<std::string> names;  // "-o", "--output"
  std::string description;
  bool takes_value = false;
  std::string kind;  // "FILE", "DIR", or a metavariable whose values are not listed
  std::vector<std::string> values;
};

struct Command {
  std::string name;
  std::string description;
  std::vector<Choice> choices;
};

// The first sentence of a help text, without characters the shells quote differently.
std::string short_text(std::string text) {
  if (const auto end = text.find_first_of(".(\n;"); end != std::string::npos) text.resize(end);
  std::string clean;
  for (const char c : text) {
    if (c != '\'' && c != '"' && c != '[' && c != ']' && c != ':' && c != '\\' && c != '$' &&
        c != '`') {
      clean += c;
    }
  }
  while (!clean.empty() && clean.back() == ' ') clean.pop_back();
  return clean;
}

std::vector<Choice> choices_of(const CLI::App& command, const std::string& name,
                               const OptionValues& values) {
  std::vector<Choice> choices;
  for (const auto* option : command.get_options()) {
    Choice choice;
    for (const auto& s : option->get_snames()) choice.names.push_back(fmt::format("-{}", s));
    for (const auto& l : option->get_lnames()) choice.names.push_back(fmt::format("--{}", l));
    if (choice.names.empty()) continue;  // a positional argument
    choice.description = short_text(option->get_description());
    choice.takes_value = option->get_expected_max() > 0;
    choice.kind = option->get_option_text();
    const auto found = values.find(fmt::format("{} {}", name, choice.names.back()));
    if (found != values.end()) choice.values = found->second;
    choices.push_back(std::move(choice));
  }
  return choices;
}

std::vector<Command> commands_of(const CLI::App& app, const OptionValues& values) {
  std::vector<Command> commands;
  commands.push_back({"", "", choices_of(app, "", values)});
  for (const auto* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
    commands.push_back({sub->get_name(), short_text(sub->get_description()),
                        choices_of(*sub, sub->get_name(), values)});
  }
  return commands;
}

std::string joined(const std::vector<std::string>& words) {
  return fmt::format("{}", fmt::join(words, " "));
}

std::string bash_script(const std::vector<Command>& commands) {
  std::vector<std::string> names;
  for (std::size_t i = 1; i < commands.size(); ++i) names.push_back(commands[i].name);
  std::string text = fmt::format(
      "# bash completion for {0}: source it, or install it as\n"
      "# /usr/share/bash-completion/completions/{0}\n"
      "_kelmarion_meta() {{\n"
      "  local cur=\"${{COMP_WORDS[COMP_CWORD]}}\" prev=\"${{COMP_WORDS[COMP_CWORD-1]}}\"\n"
      "  local command=\"\" i\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    case \"${{COMP_WORDS[i]}}\" in\n"
      "      {1}) command=\"${{COMP_WORDS[i]}}\"; break ;;\n"
      "    esac\n"
      "  done\n"
      "  case \"$command\" in\n",
      tool, fmt::join(names, "|"));
  for (const auto& command : commands) {
    std::vector<std::string> words;
    std::string values;
    for (const auto& choice : command.choices) {
      words.insert(words.end(), choice.names.begin(), choice.names.end());
      if (!choice.takes_value) continue;
      const auto pattern = fmt::format("{}", fmt::join(choice.names, "|"));
      if (!choice.values.empty()) {
        values +=
            fmt::format("        {}) COMPREPLY=($(compgen -W \"{}\" -- \"$cur\")); return ;;\n",
                        pattern, joined(choice.values));
      } else if (choice.kind == "FILE") {
        values +=
            fmt::format("        {}) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n", pattern);
      } else if (choice.kind == "DIR") {
        values +=
            fmt::format("        {}) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n", pattern);
      } else {
        values += fmt::format("        {}) return ;;\n", pattern);
      }
    }
    if (command.name.empty()) words.insert(words.begin(), names.begin(), names.end());
    if (command.name == "completion") words.insert(words.begin(), {"bash", "zsh", "fish"});
    text +=
        fmt::format("    \"{}\")\n      case \"$prev\" in\n{}      esac\n", command.name, values);
    text += fmt::format("      COMPREPLY=($(compgen -W \"{}\" -- \"$cur\")) ;;\n", joined(words));
  }
  text += fmt::format("  esac\n}}\ncomplete -F _kelmarion_meta {}\n", tool);
  return text;
}

std::string zsh_arguments(const Command& command) {
  std::string text;
  for (const auto& choice : command.choices) {
    std::string action;
    if (choice.takes_value) {
      if (!choice.values.empty()) {
        action = fmt::format(":{}:({})", choice.kind.empty() ? "value" : choice.kind,
                             joined(choice.values));
      } else if (choice.kind == "FILE") {
        action = ":FILE:_files";
      } else if (choice.kind == "DIR") {
        action = ":DIR:_files -/";
      } else {
        action = fmt::format(":{}: ", choice.kind.empty() ? "value" : choice.kind);
      }
    }
    for (const auto& name : choice.names) {
      text += fmt::format(" \\\n      '{}[{}]{}'", name, choice.description, action);
    }
  }
  if (command.name == "completion") text += " \\\n      '1:shell:(bash zsh fish)'";
  return text;
}

std::string zsh_script(const std::vector<Command>& commands) {
  std::string text = fmt::format(
      "#compdef {0}\n"
      "# zsh completion for {0}: put it in a directory of $fpath as _{0}\n"
      "_kelmarion_meta() {{\n"
      "  local curcontext=\"$curcontext\" state line\n"
      "  local -a commands\n"
      "  commands=(\n",
      tool);
  for (std::size_t i = 1; i < commands.size(); ++i) {
    text += fmt::format("    '{}:{}'\n", commands[i].name, commands[i].description);
  }
  text += "  )\n  _arguments -C";
  text += zsh_arguments(commands.front());
  text +=
      " \\\n      '1: :->command' '*:: :->arguments'\n"
      "  case $state in\n"
      "    command) _describe command commands ;;\n"
      "    arguments)\n"
      "      case $line[1] in\n";
  for (std::size_t i = 1; i < commands.size(); ++i) {
    text +=
        fmt::format("        {}) _arguments{} ;;\n", commands[i].name, zsh_arguments(commands[i]));
  }
  text += "      esac ;;\n  esac\n}\n_kelmarion_meta \"$@\"\n";
  return text;
}

std::string fish_script(const std::vector<Command>& commands) {
  std::vector<std::string> names;
  for (std::size_t i = 1; i < commands.size(); ++i) names.push_back(commands[i].name);
  std::string text = fmt::format(
      "# fish completion for {0}: put it in ~/.config/fish/completions/{0}.fish\n"
      "complete -c {0} -f\n",
      tool);
  for (const auto& command : commands) {
    const auto condition = command.name.empty()
                               ? std::string("__fish_use_subcommand")
                               : fmt::format("__fish_seen_subcommand_from {}", command.name);
    if (!command.name.empty()) {
      text += fmt::format("complete -c {} -n __fish_use_subcommand -a {} -d '{}'\n", tool,
                          command.name, command.description);
    }
    for (const auto& choice : command.choices) {
      std::string flags;
      for (const auto& name : choice.names) {
        flags += name.starts_with("--") ? fmt::format(" -l {}", name.substr(2))
                                        : fmt::format(" -s {}", name.substr(1));
      }
      std::string action;
      if (choice.takes_value) {
        action = !choice.values.empty()  ? fmt::format(" -x -a '{}'", joined(choice.values))
                 : choice.kind == "FILE" ? std::string(" -r -F")
                 : choice.kind == "DIR"  ? std::string(" -x -a '(__fish_complete_directories)'")
                                         : std::string(" -x");
      }
      text += fmt::format("complete -c {} -n '{}'{}{} -d '{}'\n", tool, condition, flags, action,
                          choice.description);
    }
    if (command.name == "completion") {
      text += fmt::format("complete -c {} -n '{}' -x -a 'bash zsh fish'\n", tool, condition);
    }
  }
  return text;
}

}  // namespace

std::string completion_script(const CLI::App& app, std::string_view shell,
                              const OptionValues& values) {
  const auto commands = commands_of(app, values);
  if (shell == "zsh") return zsh_script(commands);
  if (shell == "fish") return fish_script(commands);
  return bash_script(commands);
}

}  // namespace kelmarion::apps
