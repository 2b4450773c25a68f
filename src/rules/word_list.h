#pragma once
// The safe-search word list: texts in insertion order, duplicates kept, a removal takes
// the first occurrence of its text.
//
// Held compactly: each distinct text once, with the places of its occurrences as runs of
// evenly spaced positions. Adding or removing one occurrence costs a lookup of the text
// and constant work, whatever the list holds, and a rule set that adds the same words
// again and again (one category named many times) holds a run per word, not an entry
// per repetition.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace rules {

class WordList {
 public:
  WordList() = default;
  WordList(std::initializer_list<std::string_view> words);
  WordList& operator=(std::initializer_list<std::string_view> words);

  // Appends one occurrence of the text.
  void add(std::string_view word);
  // Removes the first occurrence of the text (exact, case-sensitive); none: nothing.
  void removeFirst(std::string_view word);
  // Empties the list, releasing its storage.
  void clear();

  // Occurrences, duplicates counted.
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Every occurrence, in list order.
  std::vector<std::string> words() const;
  // Each text that occurs at least once, once, in the order of its first occurrence.
  // The views stay valid until the list next changes.
  std::vector<std::string_view> distinctWords() const;

 private:
  // Positions start, start + stride, ..., count of them.
  struct Run {
    std::uint64_t start = 0;
    std::uint64_t stride = 0;
    std::uint64_t count = 0;
  };
  // The runs of one text, in position order: the first kept in place (most texts never
  // need a second), the later ones queued behind it, those before `restHead` used up.
  struct Occurrences {
    Run first;
    std::vector<Run> rest;
    std::size_t restHead = 0;
    bool empty() const { return first.count == 0; }
  };
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };

  std::unordered_map<std::string, Occurrences, TextHash, std::equal_to<>> texts_;
  std::uint64_t nextPosition_ = 0;
  std::size_t size_ = 0;
};

}  // namespace rules
