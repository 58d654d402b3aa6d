// Makes the system list every folder in name order, so that tests of the scan order do not
// depend on the order a file system happens to keep. It replays what the real find functions
// return, sorted, and leaves every other call alone.
#pragma once

#include <algorithm>
#include <map>
#include <vector>

#include "platform/system_calls.h"

namespace crateline::testing {

class SortedListing {
 public:
  SortedListing() : scope_(Make()) {}

 private:
  platform::SystemCalls Make() {
    using namespace platform;
    SystemCalls calls = CurrentSystemCalls();
    SystemCalls real = calls;
    calls.FindFirstFileW = [this, real](const char16_t* path, FindDataW& data) {
      std::vector<FindDataW> entries;
      FindDataW entry;
      const SearchHandle h = real.FindFirstFileW(path, entry);
      if (h == kInvalidHandle) return h;
      do entries.push_back(entry);
      while (real.FindNextFileW(h, entry) != 0);
      real.FindClose(h);
      std::sort(entries.begin(), entries.end(), [](const FindDataW& a, const FindDataW& b) {
        return std::u16string(a.cFileName) < std::u16string(b.cFileName);
      });
      data = entries.front();
      const SearchHandle mine = next_++;
      open_[mine] = {std::move(entries), 1};
      return mine;
    };
    calls.FindNextFileW = [this, real](SearchHandle h, FindDataW& data) {
      auto it = open_.find(h);
      if (it == open_.end()) return real.FindNextFileW(h, data);
      auto& [entries, position] = it->second;
      if (position == entries.size()) {
        real.SetLastError(kErrorNoMoreFiles);
        return 0;
      }
      data = entries[position++];
      return 1;
    };
    calls.FindClose = [this, real](SearchHandle h) {
      return open_.erase(h) != 0 ? 1 : real.FindClose(h);
    };
    return calls;
  }

  std::map<platform::SearchHandle, std::pair<std::vector<platform::FindDataW>, std::size_t>> open_;
  platform::SearchHandle next_ = 0x70000000;
  platform::ScopedSystemCalls scope_;
};

}  // namespace crateline::testing
