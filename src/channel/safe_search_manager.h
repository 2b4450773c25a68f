#pragma once
// The safe-search engine: one pass fetches the child's safe-search rules, validates
// them, rebuilds the word list from the shipped word-list resource and the rules'
// exceptions, writes the browser content-blocker list "safeSearchBlocker.json" into
// the app-group container and asks the browser to reload the blocker extension.
//
// A pass runs on the caller's thread and returns when it is over (the reload's own
// completion prints later, from another queue). Not safe to use from two threads at
// once; the agent runs every pass on the main thread.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "coding/json.h"
#include "networks/error_model.h"
#include "networks/network_manager.h"
#include "platform/content_blocker.h"
#include "platform/file_manager.h"
#include "platform/reply_order.h"
#include "platform/settings.h"
#include "platform/url_session.h"
#include "rules/json_validator.h"
#include "rules/local_words.h"
#include "rules/safe_search_rules.h"
#include "rules/word_list.h"

namespace channel {

// The content-blocker list's file name in the app-group container.
inline constexpr const char* kSafeSearchBlockerFileName = "safeSearchBlocker.json";
// The browser extension that reads the list.
inline constexpr const char* kSafeSearchExtensionIdentifier = "so.velmorhome.mopet.agent.SafeSearchExt";

class CSafeSearchManager {
 public:
  // Fetches through `session`, asks `contentBlocker` for the reload, and reads the word
  // list and writes the content-blocker list through `files` (Documents and the
  // app-group container in its home). All three must outlive the engine.
  CSafeSearchManager(platform::URLSession& session, platform::ContentBlockerManager& contentBlocker,
                     const platform::FileManager& files);
  virtual ~CSafeSearchManager();
  CSafeSearchManager(const CSafeSearchManager&) = delete;
  CSafeSearchManager& operator=(const CSafeSearchManager&) = delete;

  // One pass: fetch, validate, rebuild the word list, write the list and reload.
  // Ends early, leaving the file as it was, when the fetch or the validation fails.
  virtual void startSafeSearchProcedure();
  // Fetches the rules, waiting at most replyWaitLimit() for the reply (on the main
  // thread, at most what is left of the main thread's budget, MainThreadBudget); true
  // when the newest fetch whose completion ran succeeded. A request that runs no
  // completion (no stored token, ...), or whose reply has not come within the wait,
  // keeps the previous state; a reply that comes later is kept when it comes and takes
  // effect at the next fetch, unless the reply to a later fetch came before it (the
  // older one is then dropped).
  virtual bool getSafeSearchRules();

  // How long one fetch waits for its reply (the pass's share of the main thread); by
  // default the settings' reply-wait budget (Settings::replyWaitBudget, as installed
  // when the engine is made). The tick sets what is left of its own budget.
  void setReplyWaitLimit(std::chrono::milliseconds limit) { replyWaitLimit_ = limit; }
  std::chrono::milliseconds replyWaitLimit() const { return replyWaitLimit_; }
  // Validates the rule set and rebuilds `parsedLines` from it; false (and the list
  // untouched) only when validation fails. A blocked category appends its words, an
  // allowed one removes the first occurrence of each, then the exceptions do the same
  // with their words; a category named many times adds its words as many times.
  virtual bool parseSafeSearchRules(const rules::SafeSearchRulesBase& data);
  // Writes the content-blocker list from `parsedLines`, each distinct word once at its
  // first place, and asks for the reload.
  virtual void applySafeSearchRules();
  virtual void fetchSafeSearchJSON();
  // Appends a word (duplicates kept).
  virtual void addWordToSafeSearch(const std::string& word);
  // Removes the first element equal to the word, if any.
  virtual void removeWordFromSafeSearch(const std::string& word);
  // Empties the word list.
  virtual void resetWordList();
  // True when the word-list resource is found and readable as UTF-8 text (its content
  // is not checked). Changes no state.
  virtual bool parseWordsFromLocalFile();
  // Calls `completion` once, synchronously, with the rule list built from
  // `parsedLines` (each distinct word once, at its first place, with one "Adding word "
  // line); does not call it when there is no Documents folder.
  virtual void fetchAndParseTrackerList(const std::function<void(const coding::Json&)>& completion);

  // The failure of the last fetch that failed (never cleared).
  std::optional<networks::ErrorModel> error;
  // Whether the last fetch whose completion ran succeeded.
  bool rq_success = false;
  // The rules of the last successful fetch (never cleared).
  std::optional<rules::SafeSearchRulesBase> safeSearchRules;
  // The words to block, in insertion order, duplicates and empty texts possible.
  rules::WordList parsedLines;

  // How many times the word-list resource was actually read and decoded (the engine
  // reads it again only when the file changed). For tests and measurements.
  std::uint64_t wordListLoads() const { return wordListLoads_; }

 private:
  // The word list as last read from the resource, grouped by category with spaces
  // already removed from every word, so that a pass touches only the words of each
  // rule's category.
  struct WordListCache;
  // One look at the resource: the cached words, or what to report instead.
  struct WordListState {
    const WordListCache* words = nullptr;  // null: the category rules contribute nothing
    std::optional<std::string> readError;    // printed once per category rule
    std::optional<std::string> decodeError;  // printed once per pass
  };
  WordListState loadWordList();
  coding::Json generateBlacklistJSON(const rules::WordList& words) const;
  void writeAndReload(const coding::Json& ruleList);

  // The outcome of the newest fetch whose completion ran and that no fetch has taken
  // yet: completions store it here, on the session's queue, and the fetch on the
  // caller's thread takes it, so that a completion never touches the engine itself.
  // The fetches are numbered: a completion of a fetch older than the one whose outcome
  // came in last is dropped.
  struct FetchMailbox {
    std::mutex mutex;
    std::optional<networks::Result<rules::SafeSearchRulesBase>> outcome;
    platform::ReplyOrder order;
  };

  networks::NetworkManager networks_;
  std::chrono::milliseconds replyWaitLimit_ = platform::Settings::current().replyWaitBudget;
  const std::shared_ptr<FetchMailbox> mailbox_ = std::make_shared<FetchMailbox>();
  rules::CJsonValidator jsonValidator_;
  platform::ContentBlockerManager& contentBlocker_;
  const platform::FileManager& files_;
  std::unique_ptr<WordListCache> cache_;
  std::uint64_t wordListLoads_ = 0;
};

}  // namespace channel
