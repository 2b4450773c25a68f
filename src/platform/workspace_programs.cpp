#include "platform/workspace_programs.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

namespace platform::workspace_detail {

namespace {

// A path from a process's command line, as the process sees it: a relative one from
// its working folder, an absolute one from its root folder (a sandbox's own), each
// through its /proc folder. Where the root cannot be looked at, the path is as given.
std::string pathOfArgument(const std::string& processDir, const std::string& argument) {
  if (!argument.starts_with('/')) return processDir + "/cwd/" + argument;
  std::string root = processDir + "/root";
  if (::access(root.c_str(), X_OK) != 0) return argument;
  return root.append(argument);
}

// The file named by a process's argument, as a view with the arguments after it.
std::optional<ProgramView> viewOfArgument(const std::string& processDir, const std::vector<std::string>& arguments,
                                          std::size_t index) {
  if (index >= arguments.size() || arguments[index].empty()) return std::nullopt;
  const std::string path = pathOfArgument(processDir, arguments[index]);
  if (!isRegularFile(path)) return std::nullopt;
  ProgramView view{
      identityOf(path),
      baseName(arguments[index]),
      {},
      std::vector<std::string>(arguments.begin() + static_cast<std::ptrdiff_t>(index) + 1, arguments.end())};
  std::error_code error;
  const auto real = std::filesystem::canonical(path, error);
  if (!error && real.filename() != view.name) view.fileName = real.filename().string();
  return view;
}

// The dynamic loader run as a program: "ld-linux-x86-64.so.2 [options] program args".
bool isLoader(std::string_view name) { return name.starts_with("ld-linux") && name.find(".so") != std::string::npos; }

std::optional<ProgramView> programOfLoader(const std::string& processDir, const std::vector<std::string>& arguments) {
  static const std::set<std::string, std::less<>> kWithValue = {
      "--library-path",        "--inhibit-rpath",    "--audit", "--preload", "--argv0",
      "--glibc-hwcaps-prefix", "--glibc-hwcaps-mask"};
  std::size_t index = 0;
  while (index < arguments.size() && arguments[index].starts_with("--")) {
    const std::string& option = arguments[index++];
    if (option == "--") break;
    if (option == "--list" || option == "--verify") return std::nullopt;  // runs nothing
    if (kWithValue.contains(option)) ++index;
  }
  return viewOfArgument(processDir, arguments, index);
}

// How an interpreter's options are read: the letters after which no script file
// follows (a command given inline, a module), those that take the next argument, and
// the whole option words that take the next argument or mean that no script follows.
struct InterpreterOptions {
  std::string_view inline_;
  std::string_view withValue;
  std::vector<std::string_view> wordsWithValue;
  std::vector<std::string_view> inlineWords;
};

const InterpreterOptions* interpreterOptions(std::string_view name) {
  while (!name.empty() && (std::isdigit(static_cast<unsigned char>(name.back())) != 0 || name.back() == '.')) {
    name.remove_suffix(1);
  }
  static const std::vector<std::string_view> kShellWords = {"--rcfile", "--init-file"};
  static const std::map<std::string, InterpreterOptions, std::less<>> kInterpreters = {
      {"sh", {"c", "oO", kShellWords, {}}},
      {"bash", {"c", "oO", kShellWords, {}}},
      {"dash", {"c", "oO", {}, {}}},
      {"zsh", {"c", "oO", {}, {}}},
      {"ksh", {"c", "oO", {}, {}}},
      {"mksh", {"c", "oO", {}, {}}},
      {"fish", {"c", "C", {"--init-command"}, {}}},
      {"python", {"cm", "WX", {"--check-hash-based-pycs"}, {}}},
      {"pypy", {"cm", "WX", {}, {}}},
      {"perl", {"eE", "I", {}, {}}},
      {"ruby", {"e", "rIC", {}, {}}},
      {"node",
       {"ep", "r", {"--require", "--import", "--loader", "--experimental-loader", "--input-type", "--title"}, {}}},
      {"nodejs", {"ep", "r", {"--require", "--import", "--loader", "--experimental-loader", "--title"}, {}}},
      {"php", {"r", "cd", {}, {}}},
      {"lua", {"e", "l", {}, {}}},
      {"luajit", {"e", "l", {}, {}}},
      {"tclsh", {"", "", {}, {}}},
      {"wish", {"", "", {}, {}}},
      {"Rscript", {"e", "", {}, {}}},
      {"guile", {"c", "L", {}, {}}},
      // Runtimes: the file they run is their program.
      {"java",
       {"",
        "",
        {"-cp", "-classpath", "--class-path", "-p", "--module-path", "--add-modules"},
        {"-m", "--module", "-version", "--version"}}},
      {"love", {"", "", {}, {}}},
      {"mono", {"", "", {}, {}}}};
  auto found = kInterpreters.find(name);
  return found == kInterpreters.end() ? nullptr : &found->second;
}

bool isWordIn(const std::vector<std::string_view>& words, std::string_view word) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// The index of an interpreter's first file argument, skipping its options (with the
// values they take); nullopt when its options say that no script follows.
std::optional<std::size_t> firstFileArgument(const std::vector<std::string>& arguments,
                                             const InterpreterOptions& options) {
  static const std::set<std::string, std::less<>> kInlineLong = {"--command", "--eval", "--print"};
  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& word = arguments[index];
    if (word == "--") return index + 1;
    if (word.size() < 2 || word[0] != '-') return index;
    if (isWordIn(options.inlineWords, word)) return std::nullopt;
    if (isWordIn(options.wordsWithValue, word)) {
      ++index;
      continue;
    }
    if (word[1] == '-') {
      if (kInlineLong.contains(word.substr(0, word.find('=')))) return std::nullopt;
      continue;
    }
    for (std::size_t i = 1; i < word.size(); ++i) {
      if (options.inline_.find(word[i]) != std::string_view::npos) return std::nullopt;
      if (options.withValue.find(word[i]) != std::string_view::npos) {
        if (i + 1 == word.size()) ++index;  // the value is the next argument
        break;
      }
    }
  }
  return std::nullopt;
}

// True when the file's "#!" line names this program as its interpreter (directly or
// through `env`).
bool scriptNamesInterpreter(const std::string& path, const ProgramView& interpreter, const std::string& childPath) {
  std::string head;
  if (!readRegularFile(path, head, 256) || !head.starts_with("#!")) return false;
  std::istringstream line(head.substr(2, head.find('\n') - 2));
  std::vector<std::string> words;
  for (std::string word; line >> word;) words.push_back(word);
  std::size_t index = 0;
  if (!words.empty() && baseName(words[0]) == "env") {
    index = 1;
    while (index < words.size() && (words[index].starts_with('-') || words[index].find('=') != std::string::npos)) {
      ++index;
    }
  }
  if (index >= words.size()) return false;
  const std::string& program = words[index];
  if (baseName(program) == interpreter.name) return true;
  auto found = findExecutable(program, childPath);
  return found && interpreter.file && identityOf(*found) == interpreter.file;
}

// The program that one a process runs runs in turn: the program the dynamic loader
// loads, or the script an interpreter runs (a known interpreter's first file argument,
// or a file whose "#!" line names this program).
std::optional<ProgramView> programRunBy(const std::string& processDir, const ProgramView& runner,
                                        const std::string& childPath) {
  if (isLoader(runner.name)) return programOfLoader(processDir, runner.arguments);
  if (const auto* known = interpreterOptions(runner.name)) {
    auto index = firstFileArgument(runner.arguments, *known);
    return index ? viewOfArgument(processDir, runner.arguments, *index) : std::nullopt;
  }
  auto index = firstFileArgument(runner.arguments, {});
  if (!index) return std::nullopt;
  auto script = viewOfArgument(processDir, runner.arguments, *index);
  if (!script || !scriptNamesInterpreter(pathOfArgument(processDir, runner.arguments[*index]), runner, childPath)) {
    return std::nullopt;
  }
  return script;
}

constexpr int kMaxRunSteps = 6;

}  // namespace

bool isInterpreter(std::string_view name) { return interpreterOptions(baseName(name)) != nullptr; }

std::optional<std::size_t> scriptArgument(std::string_view interpreter, const std::vector<std::string>& arguments) {
  const auto* options = interpreterOptions(baseName(interpreter));
  if (options == nullptr) return std::nullopt;
  auto index = firstFileArgument(arguments, *options);
  if (!index || *index >= arguments.size()) return std::nullopt;
  return index;
}

std::vector<ProgramView> programsOf(const std::string& processDir, const std::vector<std::string>& commandLine,
                                    const std::optional<FileIdentity>& executable, const std::string& executableName,
                                    bool executableKnown, const std::string& childPath) {
  std::vector<ProgramView> programs;
  std::vector<std::string> arguments;
  if (!commandLine.empty()) arguments.assign(commandLine.begin() + 1, commandLine.end());
  programs.push_back({executable, executableName, {}, arguments});
  if (!executableKnown && !commandLine.empty() && commandLine[0].find('/') != std::string::npos) {
    if (auto started = viewOfArgument(processDir, commandLine, 0)) programs.push_back(std::move(*started));
  }
  const std::size_t direct = programs.size();
  for (std::size_t first = 0; first < direct; ++first) {
    const ProgramView* runner = &programs[first];
    // A loader, then as many interpreters as the kernel lets a chain of "#!" scripts
    // have (it rewrites a program at most five times).
    for (int step = 0; step < kMaxRunSteps; ++step) {
      auto next = programRunBy(processDir, *runner, childPath);
      if (!next) break;
      programs.push_back(std::move(*next));
      runner = &programs.back();
    }
  }
  return programs;
}

}  // namespace platform::workspace_detail
