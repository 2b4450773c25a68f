#include "channel/safe_search_manager.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "networks/shared_settings.h"
#include "platform/bundle.h"
#include "platform/file_manager.h"

namespace channel {

namespace {

using networks::printLine;

const char* boolText(bool value) { return value ? "true" : "false"; }

// "file://" and the percent-encoded path, as a file URL prints.
std::string fileURLText(const std::string& path) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (unsigned char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
                       c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += hex[c >> 4];
      url += hex[c & 0xf];
    }
  }
  return url;
}

bool isValidUTF8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    std::uint32_t min = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= n) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(text[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

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
  // Beside each word of byCategory: whether another category lists it too. Only such
  // words need counting in a pass; the others behave as a plain list.
  std::array<std::vector<bool>, rules::kAllCategories.size()> sharedWithOthers;
  std::array<bool, rules::kAllCategories.size()> hasShared{};  // any true in sharedWithOthers
};

namespace {

// Fills sharedWithOthers from byCategory: one look at every word.
void markSharedWords(const std::array<std::vector<std::string>, rules::kAllCategories.size()>& byCategory,
                     std::array<std::vector<bool>, rules::kAllCategories.size()>& shared,
                     std::array<bool, rules::kAllCategories.size()>& hasShared) {
  constexpr std::size_t kNone = rules::kAllCategories.size();
  constexpr std::size_t kMany = kNone + 1;
  // The one category that lists a word, or kMany.
  std::unordered_map<std::string_view, std::size_t> owner;
  for (std::size_t c = 0; c < byCategory.size(); ++c) {
    for (const auto& word : byCategory[c]) {
      auto [found, inserted] = owner.try_emplace(word, c);
      if (!inserted && found->second != c) found->second = kMany;
    }
  }
  for (std::size_t c = 0; c < byCategory.size(); ++c) {
    shared[c].clear();
    shared[c].reserve(byCategory[c].size());
    for (const auto& word : byCategory[c]) shared[c].push_back(owner[word] == kMany);
    hasShared[c] = std::find(shared[c].begin(), shared[c].end(), true) != shared[c].end();
  }
}

}  // namespace

CSafeSearchManager::CSafeSearchManager() : CSafeSearchManager(platform::URLSession::shared()) {}

CSafeSearchManager::CSafeSearchManager(platform::URLSession& session, platform::ContentBlockerManager& contentBlocker)
    : networks_(session), contentBlocker_(contentBlocker) {}

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
  // may be busy or gone by then), and is taken from there now or at the next fetch.
  networks_.setReplyWaitLimit(replyWaitLimit_);
  networks_.getSafeSearch([mailbox = mailbox_](networks::Result<rules::SafeSearchRulesBase> result) {
    std::lock_guard lock(mailbox->mutex);
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
    auto contents = platform::FileManager::defaultManager().contents(*path);
    if (!contents) {
      next->readError = contents.error().localizedDescription();
    } else {
      const std::string_view text(reinterpret_cast<const char*>(contents->data()), contents->size());
      if (isValidUTF8(text)) {
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
          markSharedWords(next->byCategory, next->sharedWithOthers, next->hasShared);
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
  // A category's words enter the list once per pass: a blocked rule of a category whose
  // words a blocked rule already put in (and no allowed rule of it took out since) adds
  // nothing, so a reply naming one category many times makes no more rules than naming
  // it once.
  std::array<bool, rules::kAllCategories.size()> categoryIn{};
  // Per word that several categories list, how many category additions it has had
  // (what the list would hold if every addition made a rule) and how many rules it has.
  // A word that an earlier category already put in makes no second rule; it leaves the
  // list when as many removals came as additions, so a shared word is blocked exactly
  // as long as before. A category's own repeated words are kept as the resource lists
  // them.
  struct WordCount {
    std::size_t additions = 0;
    std::size_t rules = 0;
  };
  // Keys point into the cached word list, which stays as it is for the whole pass.
  std::unordered_map<std::string_view, WordCount> counts;
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
    const auto& words = wordList->words->byCategory[index];
    const auto& sharedWithOthers = wordList->words->sharedWithOthers[index];
    const std::size_t wordCount = words.size();
    if (blocked) {
      if (categoryIn[index]) continue;
      categoryIn[index] = true;
      // Only words that were in the list before this rule are shared: the category's
      // own repeated words are not.
      std::vector<bool> inBefore;
      if (wordList->words->hasShared[index]) inBefore.assign(wordCount, false);
      for (std::size_t w = 0; w < wordCount && !inBefore.empty(); ++w) {
        if (!sharedWithOthers[w]) continue;
        auto found = counts.find(words[w]);
        inBefore[w] = found != counts.end() && found->second.additions > 0;
      }
      for (std::size_t w = 0; w < wordCount; ++w) {
        if (sharedWithOthers[w]) {
          auto& count = counts[words[w]];
          ++count.additions;
          if (inBefore[w]) continue;
          ++count.rules;
        }
        addWordToSafeSearch(words[w]);
      }
    } else {
      categoryIn[index] = false;
      for (std::size_t w = 0; w < wordCount; ++w) {
        if (sharedWithOthers[w]) {
          auto found = counts.find(words[w]);
          if (found == counts.end() || found->second.additions == 0) continue;  // nothing to remove
          auto& count = found->second;
          --count.additions;
          if (count.rules <= count.additions) continue;
          --count.rules;
        }
        removeWordFromSafeSearch(words[w]);
      }
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

void CSafeSearchManager::addWordToSafeSearch(const std::string& word) { parsedLines.push_back(word); }

void CSafeSearchManager::removeWordFromSafeSearch(const std::string& word) {
  auto found = std::find(parsedLines.begin(), parsedLines.end(), word);
  if (found != parsedLines.end()) parsedLines.erase(found);
}

void CSafeSearchManager::resetWordList() { std::vector<std::string>().swap(parsedLines); }

bool CSafeSearchManager::parseWordsFromLocalFile() {
  auto path = platform::Bundle::main().path(rules::kWordListResourceName, rules::kWordListResourceType);
  if (!path) return false;
  auto contents = platform::FileManager::defaultManager().contents(*path);
  if (!contents) {
    printLine(contents.error().localizedDescription());
    return false;
  }
  const std::string_view text(reinterpret_cast<const char*>(contents->data()), contents->size());
  if (!isValidUTF8(text)) return false;
  (void)rules::decodeLocalWords(text);  // the outcome is not part of the check
  return true;
}

void CSafeSearchManager::applySafeSearchRules() { fetchSafeSearchJSON(); }

void CSafeSearchManager::fetchSafeSearchJSON() {
  fetchAndParseTrackerList([this](const coding::Json& ruleList) { writeAndReload(ruleList); });
}

void CSafeSearchManager::fetchAndParseTrackerList(const std::function<void(const coding::Json&)>& completion) {
  if (platform::FileManager::defaultManager().documentsDirectory().empty()) return;
  completion(generateBlacklistJSON(parsedLines));
}

coding::Json CSafeSearchManager::generateBlacklistJSON(const std::vector<std::string>& words) const {
  coding::Json list = coding::Json::array();
  for (const auto& word : words) {
    printLine("Adding word " + word);
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
  auto& files = platform::FileManager::defaultManager();
  auto container = files.containerPath(std::string(networks::kAppGroup));
  if (!container) return;
  const std::string path = *container + "/" + kSafeSearchBlockerFileName;
  printLine("1 " + fileURLText(path));

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
