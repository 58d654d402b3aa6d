// KeyedList: an ordered list in which every value carries a unique text key.
//
// The message queue and the path logger's lists are read both by 1-based position (in the
// order the values were added) and by key ("K1", "K2", ...). Adding a key twice is a caller's
// bug that must not pass unnoticed, so it throws DuplicateKeyError naming the key.
#pragma once

#include <cstddef>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace crateline::util {

class DuplicateKeyError : public std::runtime_error {
 public:
  explicit DuplicateKeyError(const std::string& key)
      : std::runtime_error("the key \"" + key + "\" is already in the list") {}
};

class MissingEntryError : public std::out_of_range {
 public:
  using std::out_of_range::out_of_range;
};

// Builds the keys the lists use: "K" followed by the counter in plain decimal.
inline std::string CounterKey(long long counter) {
  return "K" + std::to_string(counter);
}

// The entries live in a deque, whose elements never move, so that the index can look keys up
// by a view of the entry's own key instead of keeping a second copy of each. The index is
// brought up to date when a key is looked up or checked; entries added under keys the caller
// made unique (AddNew: a counter's keys) are indexed only then, so that a list that is only
// filled and read in order, as a scan's queue is, never builds it.
template <typename Value>
class KeyedList {
 public:
  void Add(const std::string& key, Value value) {
    if (Index().count(key) != 0) throw DuplicateKeyError(key);
    entries_.emplace_back(key, std::move(value));
    try {
      index_.emplace(entries_.back().first, entries_.size() - 1);
      indexed_ = entries_.size();
    } catch (...) {
      entries_.pop_back();
      throw;
    }
  }
  // Adds under a key the caller knows no entry has (CounterKey of a counter that only grows).
  void AddNew(std::string key, Value value) {
    entries_.emplace_back(std::move(key), std::move(value));
  }

  std::size_t Count() const { return entries_.size(); }
  bool Empty() const { return entries_.empty(); }
  bool Contains(const std::string& key) const { return Index().count(key) != 0; }

  // Position counts from 1, as the lists' readers do.
  const Value& Item(std::size_t position) const { return Entry(position).second; }
  const std::string& Key(std::size_t position) const { return Entry(position).first; }

  const Value& Item(const std::string& key) const {
    const auto& index = Index();
    auto it = index.find(key);
    if (it == index.end()) throw MissingEntryError("no entry has the key \"" + key + "\"");
    return entries_[it->second].second;
  }

  void Clear() {
    entries_.clear();
    index_.clear();
    indexed_ = 0;
  }
  void Reserve(std::size_t n) { index_.reserve(n); }

  // Iteration yields (key, value) pairs in insertion order.
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  const std::pair<std::string, Value>& Entry(std::size_t position) const {
    if (position < 1 || position > entries_.size()) {
      throw MissingEntryError("position " + std::to_string(position) + " is outside 1.." +
                              std::to_string(entries_.size()));
    }
    return entries_[position - 1];
  }

  const std::unordered_map<std::string_view, std::size_t>& Index() const {
    for (; indexed_ < entries_.size(); ++indexed_) {
      if (!index_.emplace(entries_[indexed_].first, indexed_).second) {
        throw DuplicateKeyError(entries_[indexed_].first);  // an AddNew that was not new
      }
    }
    return index_;
  }

  std::deque<std::pair<std::string, Value>> entries_;
  mutable std::unordered_map<std::string_view, std::size_t> index_;
  mutable std::size_t indexed_ = 0;
};

}  // namespace crateline::util
