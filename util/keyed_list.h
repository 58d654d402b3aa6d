// KeyedList: an ordered list in which every value carries a unique text key.
//
// The message queue and the path logger's lists are read both by 1-based position (in the
// order the values were added) and by key ("K1", "K2", ...). Adding a key twice is a caller's
// bug that must not pass unnoticed, so it throws DuplicateKeyError naming the key.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
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

template <typename Value>
class KeyedList {
 public:
  void Add(const std::string& key, Value value) {
    auto [it, inserted] = index_.try_emplace(key, entries_.size());
    if (!inserted) throw DuplicateKeyError(key);
    try {
      entries_.emplace_back(key, std::move(value));
    } catch (...) {
      index_.erase(it);
      throw;
    }
  }

  std::size_t Count() const { return entries_.size(); }
  bool Empty() const { return entries_.empty(); }
  bool Contains(const std::string& key) const { return index_.count(key) != 0; }

  // Position counts from 1, as the lists' readers do.
  const Value& Item(std::size_t position) const { return Entry(position).second; }
  const std::string& Key(std::size_t position) const { return Entry(position).first; }

  const Value& Item(const std::string& key) const {
    auto it = index_.find(key);
    if (it == index_.end()) throw MissingEntryError("no entry has the key \"" + key + "\"");
    return entries_[it->second].second;
  }

  void Clear() {
    entries_.clear();
    index_.clear();
  }
  void Reserve(std::size_t n) {
    entries_.reserve(n);
    index_.reserve(n);
  }

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

  std::vector<std::pair<std::string, Value>> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace crateline::util
