// The local work of one safe-search pass (no network): building the word list from a
// 20,000-word list under 18 category rules, and writing the content-blocker list.
// A pass prints a line per word, so standard output goes to /dev/null; have the figures
// written to a file:
//   channel_safe_search_bench --benchmark_out=bench.txt --benchmark_out_format=console
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "channel/safe_search_manager.h"
#include "platform/bundle.h"
#include "platform/fakes/fake_content_blocker.h"
#include "platform/file_manager.h"
#include "platform/settings.h"
#include "rules/local_words.h"

namespace {

namespace fs = std::filesystem;

struct Sandbox {
  fs::path home;
  std::unique_ptr<platform::FileManager> files;  // over the bench's own home
  Sandbox() {
    std::string pattern = (fs::temp_directory_path() / "mopet-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    home = pattern;
    // The bench's own home, for the whole run: what the pass writes lands inside it.
    platform::Settings settings = platform::Settings::current();
    settings.homeDirectory = home.string();
    settings.xdgDataHome.clear();
    settings.xdgConfigHome.clear();
    files = std::make_unique<platform::FileManager>(settings);
    fs::create_directories(home / "resources");
    std::ofstream out(home / "resources/wordsSafeSearch.json");
    out << "{\"local_words\":[";
    for (int i = 0; i < 20000; ++i) {
      const auto category = rules::rawValue(rules::kAllCategories[static_cast<std::size_t>(i) % 18]);
      out << (i ? "," : "") << "{\"category\":\"" << category << "\",\"word\":\"some word " << i << "\"}";
    }
    out << "]}";
    out.close();
    platform::Bundle::main().setResourcePath((home / "resources").string());
    // A pass prints one line per word: keep it off the terminal.
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::close(null);
  }
  ~Sandbox() { fs::remove_all(home); }
};

Sandbox& sandbox() {
  static Sandbox s;
  return s;
}

rules::SafeSearchRulesBase allBlocked() {
  rules::SafeSearchRulesBase rules;
  rules.isActive = true;
  rules.categoryRules.emplace();
  for (const auto category : rules::kAllCategories) {
    rules::CategoryRule rule;
    rule.name = std::string(rules::rawValue(category));
    rule.rule = rules::Rule{true};
    rules.categoryRules->push_back(rule);
  }
  rules.exceptions.emplace();
  return rules;
}

// A pass over an unchanged list: the list is read once, then reused.
void BM_WordListUnchangedFile(benchmark::State& state) {
  sandbox();
  platform::FakeContentBlockerManager blocker;
  channel::CSafeSearchManager engine(platform::URLSession::shared(), blocker, *sandbox().files);
  const auto rules = allBlocked();
  for (auto _ : state) {
    engine.parseSafeSearchRules(rules);
    auto words = engine.parsedLines.size();
    benchmark::DoNotOptimize(words);
  }
  state.counters["loads"] = static_cast<double>(engine.wordListLoads());
}
BENCHMARK(BM_WordListUnchangedFile)->Unit(benchmark::kMillisecond);

// The cost of one read and decode of the list (the file is touched every iteration);
// reading it once per category rule would cost 18 of these per pass.
void BM_WordListChangedFile(benchmark::State& state) {
  auto& box = sandbox();
  platform::FakeContentBlockerManager blocker;
  channel::CSafeSearchManager engine(platform::URLSession::shared(), blocker, *sandbox().files);
  const auto rules = allBlocked();
  const auto path = box.home / "resources/wordsSafeSearch.json";
  for (auto _ : state) {
    ::utimensat(AT_FDCWD, path.c_str(), nullptr, 0);
    engine.parseSafeSearchRules(rules);
    auto words = engine.parsedLines.size();
    benchmark::DoNotOptimize(words);
  }
  state.counters["loads"] = static_cast<double>(engine.wordListLoads());
}
BENCHMARK(BM_WordListChangedFile)->Unit(benchmark::kMillisecond);

// The baseline for BM_WordListUnchangedFile: the naive pass, reading and decoding the
// whole list again for each of the 18 blocked categories and keeping that category's
// words (spaces removed), with no cache.
void BM_WordListOncePerCategory(benchmark::State& state) {
  sandbox();
  const auto path = platform::Bundle::main().path(rules::kWordListResourceName, rules::kWordListResourceType);
  if (!path) {
    state.SkipWithError("word list not found");
    return;
  }
  std::vector<std::string> words;
  for (auto _ : state) {
    words.clear();
    for (const auto category : rules::kAllCategories) {
      auto contents = sandbox().files->contents(*path);
      if (!contents) {
        state.SkipWithError("word list not read");
        return;
      }
      const std::string_view text(reinterpret_cast<const char*>(contents->data()), contents->size());
      auto decoded = rules::decodeLocalWords(text);
      if (!decoded || !decoded->localWords) {
        state.SkipWithError("word list does not decode");
        return;
      }
      for (auto& entry : *decoded->localWords) {
        if (entry.category != category || !entry.word) continue;
        std::erase(*entry.word, ' ');
        words.push_back(std::move(*entry.word));
      }
    }
    benchmark::DoNotOptimize(words.data());
  }
  state.counters["words"] = static_cast<double>(words.size());
}
BENCHMARK(BM_WordListOncePerCategory)->Unit(benchmark::kMillisecond);

// Generating, serialising and atomically writing the 20,000-rule list.
void BM_WriteContentBlockerList(benchmark::State& state) {
  sandbox();
  platform::FakeContentBlockerManager blocker;
  blocker.setAnswersSynchronously(true);
  channel::CSafeSearchManager engine(platform::URLSession::shared(), blocker, *sandbox().files);
  engine.parseSafeSearchRules(allBlocked());
  for (auto _ : state) engine.applySafeSearchRules();
}
BENCHMARK(BM_WriteContentBlockerList)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
