#include "platform/workspace_index.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>

#include "platform/dispatch.h"
#include "platform/log.h"
#include "platform/workspace_build_id.h"
#include "platform/workspace_entries.h"
#include "platform/workspace_programs.h"

namespace platform::workspace_detail {

namespace {

// The most of a script program that is read for its `exec` lines.
constexpr std::size_t kScriptLimit = std::size_t{64} * 1024;

// A program an entry names, as found once per index.
struct ResolvedProgram {
  std::string path;
  FileIdentity file;
  bool launcher = false;     // a shell or launcher, also through a link (/snap/bin/x to snap)
  bool interpreter = false;  // an interpreter or runtime
  bool script = false;       // starts with "#!"
  std::optional<std::string> buildId;
};

// A file's name after every link (the name the kernel runs it by).
std::string realName(const std::string& path) {
  std::error_code error;
  const auto real = std::filesystem::canonical(path, error);
  return error ? baseName(path) : real.filename().string();
}

bool startsWithHashBang(const std::string& path) {
  std::string head;
  return readRegularFile(path, head, 2) && head == "#!";
}

// The absolute paths that the `exec` commands of a script name: the program it runs
// in its place and the files given to it ("exec java -jar /usr/share/x/x.jar").
// Words with a variable or a pattern in them are not known here.
std::vector<std::string> execPathsOf(const std::string& scriptPath) {
  std::string text;
  std::vector<std::string> paths;
  if (!readRegularFile(scriptPath, text, kScriptLimit)) return paths;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    bool inExec = false;
    for (std::string word; words >> word;) {
      if (word.starts_with('#')) break;
      if (word == ";" || word == "&&" || word == "||" || word == "|") {
        inExec = false;
        continue;
      }
      if (word == "exec") {
        inExec = true;
        continue;
      }
      if (!inExec) continue;
      std::erase_if(word, [](char c) { return c == '"' || c == '\''; });
      if (word.starts_with('/') && word.find_first_of("$*?`") == std::string::npos) paths.push_back(word);
    }
  }
  return paths;
}

class IndexBuilder {
 public:
  IndexBuilder(std::string childPath, IndexLimits limits) : childPath_(std::move(childPath)), limits_(limits) {}

  void addFolder(const std::string& folder);
  EntryIndex take();

 private:
  void addEntry(const DesktopEntry& entry);
  void addInterpreterCommand(const std::string& id, const ResolvedProgram& interpreter,
                             const std::vector<std::string>& fixed);
  void addProgram(const ResolvedProgram& program, EntryName name);
  const std::optional<ResolvedProgram>& resolve(const std::string& program);

  std::string childPath_;
  IndexLimits limits_;
  EntryIndex index_;
  std::unordered_map<std::string, std::optional<ResolvedProgram>> resolved_;
  std::unordered_map<std::string, std::vector<std::string>> execPaths_;  // by script path
};

const std::optional<ResolvedProgram>& IndexBuilder::resolve(const std::string& program) {
  auto [it, inserted] = resolved_.try_emplace(program);
  if (!inserted) return it->second;
  auto path = findExecutable(program, childPath_);
  if (!path && program.starts_with('/') && isRegularFile(program)) path = program;  // a file given to exec
  auto file = path ? identityOf(*path) : std::nullopt;
  if (!file) return it->second;
  ResolvedProgram found;
  found.path = *path;
  found.file = *file;
  const std::string real = realName(*path);
  found.launcher = isLauncher(program) || isLauncher(real) || baseName(program) == "env" || real == "env";
  found.interpreter = isInterpreter(program) || isInterpreter(real);
  found.script = startsWithHashBang(*path);
  if (!found.script) found.buildId = elfBuildId(*path);
  it->second = std::move(found);
  return it->second;
}

void IndexBuilder::addProgram(const ResolvedProgram& program, EntryName name) {
  if (program.buildId) index_.byBuildId[*program.buildId].push_back(name);
  if (program.script) {
    auto [paths, inserted] = execPaths_.try_emplace(program.path);
    if (inserted) paths->second = execPathsOf(program.path);
    for (const auto& path : paths->second) {
      const auto& target = resolve(path);
      if (!target || target->launcher || target->interpreter) continue;
      index_.byFile[target->file].push_back({name.id, {}, target->script});
    }
  }
  index_.byFile[program.file].push_back(std::move(name));
}

// An entry that runs an interpreter or runtime names the processes that run its fixed
// script: through the interpreter with those arguments, and through the script's own
// file. Without a fixed script it names nothing (every program of that runtime would
// be the entry's).
void IndexBuilder::addInterpreterCommand(const std::string& id, const ResolvedProgram& interpreter,
                                         const std::vector<std::string>& fixed) {
  auto script = scriptArgument(realName(interpreter.path), fixed);
  if (!script) script = scriptArgument(baseName(interpreter.path), fixed);
  if (!script) return;
  index_.byFile[interpreter.file].push_back({id, fixed, true});
  if (!fixed[*script].starts_with('/')) return;
  const auto& file = resolve(fixed[*script]);
  if (!file || file->launcher) return;
  const auto offset = static_cast<std::ptrdiff_t>(*script) + 1;
  addProgram(*file, {id, std::vector<std::string>(fixed.begin() + offset, fixed.end()), true});
}

void IndexBuilder::addEntry(const DesktopEntry& entry) {
  auto command = entryCommand(entry);
  std::optional<FileIdentity> execFile;
  if (command && command->steamGame) {
    index_.bySteamGame[*command->steamGame].push_back(entry.id);
    return;  // the client is not the game: TryExec (the client) names nothing either
  }
  if (command) {
    if (const auto& program = resolve(command->program); program && !program->launcher) {
      execFile = program->file;
      if (program->interpreter) {
        addInterpreterCommand(entry.id, *program, command->fixedArguments);
      } else {
        addProgram(*program, {entry.id, command->fixedArguments, program->script});
      }
    }
  }
  if (entry.tryExec.empty()) return;
  const auto& tried = resolve(entry.tryExec);
  if (!tried || tried->launcher || tried->interpreter) return;
  if (tried->file == execFile) return;  // indexed with Exec's arguments above
  addProgram(*tried, {entry.id, {}, tried->script});
}

void IndexBuilder::addFolder(const std::string& folder) {
  auto found = desktopFilesIn(folder, limits_.entriesPerFolder);
  std::size_t bytes = 0;
  std::size_t read = 0;
  for (const auto& file : found.files) {
    std::string text;
    if (!readRegularFile(file.path, text, kDesktopEntryLimit, true, true)) continue;
    bytes += text.size();
    if (bytes > limits_.bytesPerFolder) {
      found.truncated = true;
      break;
    }
    ++read;
    auto entry = parseDesktopEntry(file.path, text);
    if (!entry) continue;
    entry->id = file.id;
    addEntry(*entry);
  }
  if (found.truncated) {
    StandardOutput::writeLine("Desktop entries: " + folder + " holds more than is read; only its first " +
                              std::to_string(read) + " entries name applications");
  }
}

EntryIndex IndexBuilder::take() {
  // Each claim once, however many entries or folders made it.
  auto unique = [](std::vector<EntryName>& names) {
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
  };
  for (auto& [file, names] : index_.byFile) unique(names);
  for (auto& [id, names] : index_.byBuildId) unique(names);
  for (auto& [game, ids] : index_.bySteamGame) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  }
  return std::move(index_);
}

}  // namespace

EntryIndex indexDesktopEntries(const std::vector<std::string>& folders, const std::string& childPath,
                               const IndexLimits& limits) {
  IndexBuilder builder(childPath, limits);
  for (const auto& folder : folders) builder.addFolder(folder);
  return builder.take();
}

void DesktopIndex::startBuild(const std::vector<std::string>& folders, const std::string& childPath) {
  DispatchQueue::global().async([state = state_, folders, childPath] {
    auto names = std::make_shared<const EntryIndex>(indexDesktopEntries(folders, childPath));
    std::lock_guard held(state->mutex);
    state->built = {std::move(names), state->built.generation + 1};
    state->building = false;
    state->builtChanged.notify_all();
  });
}

DesktopIndex::Snapshot DesktopIndex::current(const std::vector<std::string>& folders, const std::string& childPath,
                                             std::chrono::steady_clock::duration minInterval) {
  const auto now = std::chrono::steady_clock::now();
  auto stamps = stampsOf(folders);
  std::unique_lock lock(state_->mutex);
  if (state_->built.generation == 0) {
    if (!state_->building) {
      state_->building = true;
      state_->startedAt = now;
      state_->stamps = std::move(stamps);
      startBuild(folders, childPath);
    }
    state_->builtChanged.wait_for(lock, kFirstBuildWait, [this] { return state_->built.generation != 0; });
    return state_->built;
  }
  const auto age = now - state_->startedAt;
  const bool due = stamps != state_->stamps || age >= kMaxAge;
  if (!due || age < minInterval || state_->building) return state_->built;
  state_->building = true;
  state_->startedAt = now;
  state_->stamps = std::move(stamps);
  startBuild(folders, childPath);
  return state_->built;
}

std::vector<DesktopIndex::FolderStamp> DesktopIndex::stampsOf(const std::vector<std::string>& folders) {
  std::vector<FolderStamp> result;
  result.reserve(folders.size());
  for (const auto& folder : folders) {
    FolderStamp stamp;
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
      stamp = {true, info.st_dev, info.st_ino, static_cast<long long>(info.st_mtim.tv_sec), info.st_mtim.tv_nsec};
    }
    result.push_back(stamp);
  }
  return result;
}

}  // namespace platform::workspace_detail
