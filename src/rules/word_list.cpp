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
  if (occurrences.empty()) {
    occurrences.first = Run{position, 0, 1};
    return;
  }
  Run& last = occurrences.restHead < occurrences.rest.size() ? occurrences.rest.back() : occurrences.first;
  // A run of one takes any spacing; a longer one grows when the spacing repeats.
  if (last.count == 1) {
    last.stride = position - last.start;
    last.count = 2;
  } else if (position == last.start + last.stride * last.count) {
    ++last.count;
  } else {
    occurrences.rest.push_back(Run{position, 0, 1});
  }
}

void WordList::removeFirst(std::string_view word) {
  auto found = texts_.find(word);
  if (found == texts_.end() || found->second.empty()) return;
  Occurrences& occurrences = found->second;
  Run& first = occurrences.first;
  first.start += first.stride;
  --size_;
  if (--first.count > 0) return;
  if (occurrences.restHead == occurrences.rest.size()) return;  // no occurrence left
  first = occurrences.rest[occurrences.restHead++];
  // Used-up runs are dropped once they are half of the queue, so each is moved at most
  // a constant number of times on average.
  if (occurrences.restHead == occurrences.rest.size()) {
    occurrences.rest.clear();
    occurrences.restHead = 0;
  } else if (occurrences.restHead * 2 >= occurrences.rest.size()) {
    occurrences.rest.erase(occurrences.rest.begin(),
                           occurrences.rest.begin() + static_cast<std::ptrdiff_t>(occurrences.restHead));
    occurrences.restHead = 0;
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
    const auto place = [&](const Run& run) {
      for (std::uint64_t k = 0; k < run.count; ++k) placed.emplace_back(run.start + k * run.stride, &text);
    };
    place(occurrences.first);
    for (std::size_t r = occurrences.restHead; r < occurrences.rest.size(); ++r) place(occurrences.rest[r]);
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
    if (!occurrences.empty()) first.emplace_back(occurrences.first.start, text);
  }
  std::sort(first.begin(), first.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string_view> out;
  out.reserve(first.size());
  for (const auto& [position, text] : first) out.push_back(text);
  return out;
}

}  // namespace rules
