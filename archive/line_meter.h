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

  // Measures the next bytes of the message. A line is too long exactly when the next
  // kLimit - run + 1 bytes hold no line end, so the meter looks at the end of that window and
  // searches backwards to the last line end in it: in mail, whose lines are short, each step
  // passes over nearly kLimit bytes and reads only the last line of them.
  void Add(const char* data, std::size_t size) {
    const char* p = data;
    const char* const end = data + size;
    while (p < end && !tooLong_) {
      const auto left = static_cast<std::size_t>(end - p);
      const std::size_t window = kLimit - run_ + 1;
      if (window > left) {  // no verdict in this piece: carry the last line's length on
        const char* last = LastEnd(p, left);
        run_ = last != nullptr ? static_cast<std::size_t>(end - last - 1) : run_ + left;
        return;
      }
      const char* last = LastEnd(p, window);
      if (last == nullptr) {
        tooLong_ = true;
        return;
      }
      run_ = 0;
      p = last + 1;
    }
  }

  bool TooLong() const { return tooLong_; }
  void Reset() {
    run_ = 0;
    tooLong_ = false;
  }

 private:
  // The last CR or LF among the n bytes at p, or null. The LF is found by memrchr; a CR after
  // it (a lone CR, or a CR LF cut by the window) is looked for byte by byte in what follows.
  static const char* LastEnd(const char* p, std::size_t n) {
    const char* lf = LastLf(p, n);
    const char* from = lf != nullptr ? lf + 1 : p;
    for (const char* q = p + n; q > from; --q) {
      if (q[-1] == '\r') return q - 1;
    }
    return lf;
  }

  static const char* LastLf(const char* p, std::size_t n) {
#ifdef __GLIBC__
    return static_cast<const char*>(memrchr(p, '\n', n));
#else
    for (const char* q = p + n; q > p; --q) {
      if (q[-1] == '\n') return q - 1;
    }
    return nullptr;
#endif
  }

  std::size_t run_ = 0;  // bytes since the last line end
  bool tooLong_ = false;
};

}  // namespace crateline::archive
