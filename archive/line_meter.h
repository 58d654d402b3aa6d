// The importer's line check: a message with a line longer than 10,240 bytes fails. A line
// ends at CR LF, LF or a lone CR (old Mac exports), and its end is not counted. The writer and
// the archive reader measure with this one rule, so that both judge a message alike.
#pragma once

#include <cstddef>
#include <cstring>

namespace crateline::archive {

class LineMeter {
 public:
  static constexpr std::size_t kLimit = 10240;

  // Measures the next bytes of the message. Most bytes are passed over by memchr for LF; only a
  // stretch that could be too long is looked at byte by byte, for lone CRs that cut it.
  void Add(const char* data, std::size_t size) {
    const char* p = data;
    const char* const end = data + size;
    while (p < end && !tooLong_) {
      const auto* lf =
          static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      const char* stop = lf != nullptr ? lf : end;
      const auto stretch = static_cast<std::size_t>(stop - p);
      if (run_ + stretch > kLimit) {
        Exact(p, stop);
      } else if (lf == nullptr) {
        // The line goes on in the next piece: count from its last CR, if it has one.
        const void* cr = LastCr(p, stretch);
        run_ = cr != nullptr ? static_cast<std::size_t>(stop - static_cast<const char*>(cr) - 1)
                             : run_ + stretch;
      }
      if (lf != nullptr) run_ = 0;
      p = stop + (lf != nullptr ? 1 : 0);
    }
  }

  bool TooLong() const { return tooLong_; }
  void Reset() {
    run_ = 0;
    tooLong_ = false;
  }

 private:
  void Exact(const char* p, const char* stop) {
    for (; p < stop; ++p) {
      if (*p == '\r') {
        run_ = 0;
      } else if (++run_ > kLimit) {
        tooLong_ = true;
        return;
      }
    }
  }

  static const void* LastCr(const char* p, std::size_t n) {
    for (std::size_t i = n; i > 0; --i) {
      if (p[i - 1] == '\r') return p + i - 1;
    }
    return nullptr;
  }

  std::size_t run_ = 0;  // bytes since the last line end
  bool tooLong_ = false;
};

}  // namespace crateline::archive
