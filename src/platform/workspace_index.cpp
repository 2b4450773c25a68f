#include "platform/workspace_index.h"

#include <sys/stat.h>

#include <algorithm>
#include <optional>

#include "platform/dispatch.h"
#include "platform/workspace_entries.h"

namespace platform::workspace_detail {

EntryNames indexDesktopEntries(const std::vector<std::string>& folders, const std::string& childPath) {
  EntryNames index;
  auto add = [&index](const FileIdentity& file, EntryName name) {
    auto& names = index[file];
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(std::move(name));
  };
  for (const auto& folder : folders) {
    for (const auto& file : desktopFilesIn(folder)) {
      auto entry = loadDesktopEntry(file);
      if (!entry) continue;
      auto command = entryCommand(*entry);
      std::optional<FileIdentity> execFile;
      if (command) {
        auto path = findExecutable(command->program, childPath);
        execFile = path ? identityOf(*path) : std::nullopt;
        if (execFile) add(*execFile, {entry->id, command->fixedArguments});
      }
      if (!entry->tryExec.empty() && !isLauncher(entry->tryExec)) {
        auto path = findExecutable(entry->tryExec, childPath);
        auto tried = path ? identityOf(*path) : std::nullopt;
        if (tried) add(*tried, {entry->id, tried == execFile ? command->fixedArguments : std::vector<std::string>{}});
      }
    }
  }
  return index;
}

DesktopIndex::Snapshot DesktopIndex::current(const std::vector<std::string>& folders, const std::string& childPath,
                                             std::chrono::steady_clock::duration minInterval) {
  const auto now = std::chrono::steady_clock::now();
  auto stamps = stampsOf(folders);
  {
    std::lock_guard lock(state_->mutex);
    if (state_->built.generation != 0) {
      const auto age = now - state_->startedAt;
      const bool due = stamps != state_->stamps || age >= kMaxAge;
      if (!due || age < minInterval || state_->building) return state_->built;
      state_->building = true;
      state_->startedAt = now;
      state_->stamps = std::move(stamps);
      DispatchQueue::global().async([state = state_, folders, childPath] {
        auto names = std::make_shared<const EntryNames>(indexDesktopEntries(folders, childPath));
        std::lock_guard held(state->mutex);
        state->built = {std::move(names), state->built.generation + 1};
        state->building = false;
      });
      return state_->built;
    }
  }
  auto names = std::make_shared<const EntryNames>(indexDesktopEntries(folders, childPath));
  std::lock_guard lock(state_->mutex);
  if (state_->built.generation == 0) {
    state_->built = {std::move(names), 1};
    state_->startedAt = now;
    state_->stamps = std::move(stamps);
  }
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
