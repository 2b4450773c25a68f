#include "channel/safe_search_manager.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <utility>

#include "networks/print_line.h"
#include "networks/shared_settings.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"
#include "platform/main_thread_budget.h"
#include "platform/text.h"

namespace channel {

namespace {

using networks::printLine;

const char* boolText(bool value) { return value ? "true" : "false"; }

std::string withoutSpaces(std::string word) {
  std::erase(word, ' ');
  return word;
}

// What identifies one version of the resource file on disk.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t mtimeSec = 0, mtimeNsec = 0, ctimeSec = 0, ctimeNsec = 0;
  bool operator==(const FileStamp&) const = default;
};

std::optional<FileStamp> stampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{st.st_dev,          st.st_ino,         st.st_size,        st.st_mtim.tv_sec,
                   st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

}  // namespace

struct CSafeSearchManager::WordListCache {
  std::string path;
  FileStamp stamp;
  bool trusted = false;
  // The outcome of reading that version of the file.
  std::optional<std::string> readError;  // reading failed: the description
  bool usable = false;                   // read, valid UTF-8 and decoded
  std::optional<std::string> decodeError;
  // Per category (in declaration order), the words of that category with their spaces
  // removed, in resource order.
  std::array<std::vector<std::string>, rules::kAllCategories.size()> byCategory;
};

CSafeSearchManager::CSafeSearchManager(platform::URLSession& session, platform::ContentBlockerManager& contentBlocker,
                                       const platform::FileManager& files)
    : networks_(session), contentBlocker_(contentBlocker), files_(files) {}

CSafeSearchManager::~CSafeSearchManager() = default;

void CSafeSearchManager::startSafeSearchProcedure() {
  if (!getSafeSearchRules()) return;
  if (!safeSearchRules) return;
  // A copy: the rule set must not change under the word-list building.
  const rules::SafeSearchRulesBase ruleSet = *safeSearchRules;
  if (!parseSafeSearchRules(ruleSet)) return;
  printLine("Successfuly validated rules");
  applySafeSearchRules();
}

bool CSafeSearchManager::getSafeSearchRules() {
  // The wait is bounded: the reply, whenever it comes, goes to the mailbox (the engine
  // may be busy or gone by then), and is taken from there now or at the next fetch. On
  // the main thread the wait also draws on the main thread's budget. Requests are
  // numbered: a reply older than one the mailbox already took in is dropped, so a slow
  // reply never brings an older rule set back.
  networks_.setReplyWaitLimit(platform::MainThreadBudget::bound(replyWaitLimit_));
  const auto number = mailbox_->order.next();
  networks_.getSafeSearch([mailbox = mailbox_, number](networks::Result<rules::SafeSearchRulesBase> result) {
    std::lock_guard lock(mailbox->mutex);
    if (!mailbox->order.accept(number)) {
      printLine("Dropping a safe-search reply older than the one already taken");
      return;
    }
    mailbox->outcome = std::move(result);
  });
  std::optional<networks::Result<rules::SafeSearchRulesBase>> outcome;
  {
    std::lock_guard lock(mailbox_->mutex);
    outcome.swap(mailbox_->outcome);
  }
  if (outcome) {
    if (*outcome) {
      safeSearchRules = std::move(**outcome);
      rq_success = true;
    } else {
      error = std::move(outcome->error());
      rq_success = false;
    }
  }
  return rq_success;
}

CSafeSearchManager::WordListState CSafeSearchManager::loadWordList() {
  auto path = platform::Bundle::main().path(rules::kWordListResourceName, rules::kWordListResourceType);
  if (!path) return {};
  const auto stamp = stampOf(*path);
  // A version that could not be stamped, or that could not be read, is read again.
  const bool fresh =
      cache_ && cache_->trusted && stamp && cache_->path == *path && cache_->stamp == *stamp && !cache_->readError;
  if (!fresh) {
    auto next = std::make_unique<WordListCache>();
    next->path = *path;
    if (stamp) next->stamp = *stamp;
    next->trusted = stamp.has_value();
    ++wordListLoads_;
    auto contents = files_.contents(*path);
    if (!contents) {
      next->readError = contents.error().localizedDescription();
    } else {
      const std::string_view text(reinterpret_cast<const char*>(contents->data()), contents->size());
      if (platform::isValidUTF8(text)) {
        auto decoded = rules::decodeLocalWords(text);
        if (decoded) {
          next->usable = true;
          if (decoded->localWords) {
            for (auto& entry : *decoded->localWords) {
              // A word without a category or without a text belongs to no rule.
              if (!entry.category || !entry.word) continue;
              next->byCategory[static_cast<std::size_t>(*entry.category)].push_back(withoutSpaces(*entry.word));
            }
          }
        } else {
          next->decodeError = decoded.error().description();
        }
      }
    }
    cache_ = std::move(next);
  }
  if (cache_->readError) return {nullptr, cache_->readError, std::nullopt};
  return {cache_->usable ? cache_.get() : nullptr, std::nullopt, cache_->decodeError};
}

bool CSafeSearchManager::parseSafeSearchRules(const rules::SafeSearchRulesBase& data) {
  if (!jsonValidator_.ValidateRequest(rules::ERequests::SAFE_SEARCH, data)) return false;
  resetWordList();

  // The resource is looked at once per pass, at the first category rule that needs it,
  // and its outcome applies to every category rule of the pass.
  std::optional<WordListState> wordList;
  bool reportedDecodeError = false;
  const auto& categoryRules = *data.categoryRules;
  const std::size_t ruleCount = categoryRules.size();
  for (std::size_t i = 0; i < ruleCount; ++i) {
    const auto& categoryRule = categoryRules[i];
    // An entry without its name or its flag cannot say what to do: skipped.
    if (!categoryRule.name || !categoryRule.rule || !categoryRule.rule->isBlocked) continue;
    const std::string& name = *categoryRule.name;
    const bool blocked = *categoryRule.rule->isBlocked;
    printLine("ZOREK WAS HERE: CATEGORY NAME Optional(\"" + name + "\") - is blocked: " + boolText(blocked));

    if (!wordList) wordList = loadWordList();
    if (wordList->readError) {
      printLine(*wordList->readError);
      continue;
    }
    if (!wordList->words) {
      if (wordList->decodeError && !reportedDecodeError) {
        printLine("⛔️ word list does not decode: " + *wordList->decodeError);
        reportedDecodeError = true;
      }
      continue;
    }
    const auto category = rules::categoryFromRawValue(name);
    if (!category) continue;
    const auto index = static_cast<std::size_t>(*category);
    // Each word of the category in resource order: a blocked rule appends it, an
    // allowed one removes its first occurrence.
    for (const auto& word : wordList->words->byCategory[index]) {
      if (blocked) addWordToSafeSearch(word);
      else removeWordFromSafeSearch(word);
    }
  }

  if (data.exceptions) {
    const auto& exceptions = *data.exceptions;
    const std::size_t exceptionCount = exceptions.size();
    for (std::size_t i = 0; i < exceptionCount; ++i) {
      const auto& exception = exceptions[i];
      if (!exception.word || !exception.rule || !exception.rule->isBlocked) continue;
      const bool blocked = *exception.rule->isBlocked;
      printLine("word: " + *exception.word + " - isWordBlocked: " + boolText(blocked));
      if (blocked) addWordToSafeSearch(*exception.word);
      else removeWordFromSafeSearch(*exception.word);
    }
  }
  return true;
}

void CSafeSearchManager::addWordToSafeSearch(const std::string& word) { parsedLines.add(word); }

void CSafeSearchManager::removeWordFromSafeSearch(const std::string& word) { parsedLines.removeFirst(word); }

void CSafeSearchManager::resetWordList() { parsedLines.clear(); }

bool CSafeSearchManager::parseWordsFromLocalFile() {
  auto path = platform::Bundle::main().path(rules::kWordListResourceName, rules::kWordListResourceType);
  if (!path) return false;
  auto contents = files_.contents(*path);
  if (!contents) {
    printLine(contents.error().localizedDescription());
    return false;
  }
  const std::string_view text(reinterpret_cast<const char*>(contents->data()), contents->size());
  if (!platform::isValidUTF8(text)) return false;
  (void)rules::decodeLocalWords(text);  // the outcome is not part of the check
  return true;
}

void CSafeSearchManager::applySafeSearchRules() { fetchSafeSearchJSON(); }

void CSafeSearchManager::fetchSafeSearchJSON() {
  fetchAndParseTrackerList([this](const coding::Json& ruleList) { writeAndReload(ruleList); });
}

void CSafeSearchManager::fetchAndParseTrackerList(const std::function<void(const coding::Json&)>& completion) {
  if (files_.documentsDirectory().empty()) return;
  completion(generateBlacklistJSON(parsedLines));
}

coding::Json CSafeSearchManager::generateBlacklistJSON(const rules::WordList& words) const {
  // A word the list holds many times blocks no more than once: the file, and its
  // lines, stay the size of the distinct words however often a rule set repeats them.
  coding::Json list = coding::Json::array();
  for (const auto word : words.distinctWords()) {
    printLine("Adding word " + std::string(word));
    if (word.empty()) continue;
    coding::Json rule = coding::Json::object();
    rule["action"] = coding::Json{{"type", "block"}};
    rule["trigger"] = coding::Json{{"url-filter", word}};
    list.push_back(std::move(rule));
  }
  return list;
}

void CSafeSearchManager::writeAndReload(const coding::Json& ruleList) {
  std::string bytes;
  try {
    bytes = coding::serializePretty(ruleList);
  } catch (...) {
    return;
  }
  const auto& files = files_;
  auto container = files.containerPath(std::string(networks::kAppGroup));
  if (!container) return;
  const std::string path = *container + "/" + kSafeSearchBlockerFileName;
  printLine("1 " + platform::fileURLText(path));

  // Written atomically (temporary file in the same folder, then a rename), so that the
  // extension reading the list never sees half of it. The container folder is made
  // when it is not there yet.
  const bool written = files.createDirectory(*container) && files.write(path, bytes, true);
  if (written) printLine("2");
  else printLine("error writing json data to safe search extension path");
  printLine("3");

  contentBlocker_.reloadContentBlocker(kSafeSearchExtensionIdentifier, [](std::optional<platform::Error> failure) {
    printLine("reloadContentBlocker:  " +
              (failure ? failure->localizedDescription : std::string("error in sfcontentblocker nil")));
    printLine("4");
  });
  printLine("5");
}

}  // namespace channel
