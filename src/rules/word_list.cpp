#include "rules/word_list.h"

#include <algorithm>
#include <utility>

namespace rules {

WordList::WordList(std::initializer_list<std::string_view> words) {
  for (const auto word : words) add(word);
}

WordList& WordList::operator=(std::initializer_list<std::string_view> words) {
  clear();
  for (const auto word : words) add(word);
  return *this;
}

void WordList::add(std::string_view word) {
  auto found = texts_.find(word);
  if (found == texts_.end()) found = texts_.emplace(std::string(word), Occurrences{}).first;
  Occurrences& occurrences = found->second;
  const std::uint64_t position = nextPosition_++;
  ++size_;
  if (!occurrences.empty()) {
    Run& last = occurrences.runs.back();
    // A run of one takes any spacing; a longer one grows when the spacing repeats.
    if (last.count == 1) {
      last.stride = position - last.start;
      last.count = 2;
      return;
    }
    if (position == last.start + last.stride * last.count) {
      ++last.count;
      return;
    }
  }
  occurrences.runs.push_back(Run{position, 0, 1});
}

void WordList::removeFirst(std::string_view word) {
  auto found = texts_.find(word);
  if (found == texts_.end() || found->second.empty()) return;
  Occurrences& occurrences = found->second;
  Run& first = occurrences.runs[occurrences.head];
  first.start += first.stride;
  --size_;
  if (--first.count > 0) return;
  ++occurrences.head;
  // Used-up runs are dropped once they are half of the vector, so each is moved at most
  // a constant number of times on average.
  if (occurrences.empty()) {
    occurrences.runs.clear();
    occurrences.head = 0;
  } else if (occurrences.head * 2 >= occurrences.runs.size()) {
    occurrences.runs.erase(occurrences.runs.begin(),
                           occurrences.runs.begin() + static_cast<std::ptrdiff_t>(occurrences.head));
    occurrences.head = 0;
  }
}

void WordList::clear() {
  decltype(texts_)().swap(texts_);
  nextPosition_ = 0;
  size_ = 0;
}

std::vector<std::string> WordList::words() const {
  std::vector<std::pair<std::uint64_t, const std::string*>> placed;
  placed.reserve(size_);
  for (const auto& [text, occurrences] : texts_) {
    for (std::size_t r = occurrences.head; r < occurrences.runs.size(); ++r) {
      const Run& run = occurrences.runs[r];
      for (std::uint64_t k = 0; k < run.count; ++k) placed.emplace_back(run.start + k * run.stride, &text);
    }
  }
  std::sort(placed.begin(), placed.end());
  std::vector<std::string> out;
  out.reserve(placed.size());
  for (const auto& [position, text] : placed) out.push_back(*text);
  return out;
}

std::vector<std::string_view> WordList::distinctWords() const {
  std::vector<std::pair<std::uint64_t, std::string_view>> first;
  for (const auto& [text, occurrences] : texts_) {
    if (!occurrences.empty()) first.emplace_back(occurrences.runs[occurrences.head].start, text);
  }
  std::sort(first.begin(), first.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string_view> out;
  out.reserve(first.size());
  for (const auto& [position, text] : first) out.push_back(text);
  return out;
}

}  // namespace rules
